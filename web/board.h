// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/portmap.h"
#include "link/setsender.h"
#include "web/accounts.h"
#include "web/auditlog.h"
#include "web/httpserver.h"
#include "web/keys.h"
#include "web/passwords.h"
#include "web/schedule.h"
#include "web/scheduler.h"
#include "web/sessions.h"
#include "web/setstore.h"
#include "web/setupcode.h"
#include "web/statefolder.h"
#include "web/throttle.h"
#include "web/trusteddevices.h"

#include <QJsonObject>
#include <QStringList>

#include <functional>
#include <optional>

// Who a request is from, as the gate found it: a signed-in person, a
// script's key, or no one yet. Copies, not pointers into the stores, as a
// handler may change the stores before it has finished with its caller.
struct Caller {
    std::optional<AccountStore::Account> account;
    QByteArray cookie;  // the session's, for a person
    std::optional<KeyStore::Key> key;
    QString address;
    // As the log names them.
    QString who() const { return key ? QStringLiteral("key ") + key->name : account ? account->name : QString(); }
    bool owner() const { return account && account->role == AccountStore::Role::Owner; }
};

// A request that the gate has let through, with what it found.
struct Call {
    HttpRequest request;  // its own copy, as an answer may come later
    Caller caller;
    QJsonObject body;   // a JSON body's object, where the route takes one
    QStringList parts;  // what the route's {} stood for, decoded
    // For a sign-in, a setup or a password change: the account it is for,
    // and whether the browser is a trusted device of it.
    QString guessed;
    bool trusted = false;
};

using Answer = BoardHttpServer::Answer;

// All that the board's handlers work on: the stores and the upload. Plain
// members, as each handler is a function of its own; nothing here knows a
// route or judges a caller, which the gate has done.
struct Board {
    struct Clocks {
        std::function<SessionStore::Clock::time_point()> wall = [] { return SessionStore::Clock::now(); };
        std::function<SignInThrottle::Clock::time_point()> steady = [] { return SignInThrottle::Clock::now(); };
        // Whether the wall clock has been set from the network, and the
        // zone the schedule's times are in.
        std::function<bool()> synchronised;
        QTimeZone zone = schedule::localZone();
    };
    static constexpr const char *kCookie = "pelorin_session";

    Board(StateFolder &state, PortMap ports, Clocks clocks, Scheduler::Starter starter);

    // The wall clock as a date and time, in UTC.
    QDateTime wallTime() const;
    // A line in the log; where it cannot be written, a line in the journal
    // instead, as nobody waits for it.
    void record(const QString &who, const QString &address, const QString &event, const QString &detail = {});
    // Writes a state file; false, and `why` saying which file and why,
    // where it could not be.
    bool save(const QString &file, const QByteArray &bytes, QString *why = nullptr);
    // For writes nobody waits for: a failure goes to the journal.
    void saveOrSay(const QString &file, const QByteArray &bytes);
    bool saveSessions(QString *why = nullptr);
    bool saveKeys(QString *why = nullptr);
    // A wrong password or code in `call`: counted against its address, and
    // against the account it was for, or, from a trusted device, against
    // that device alone.
    void guessFailed(const Call &call);
    // Signs `account` in on this browser: a session, and the cookies; the
    // log records `event`, with the browser's new device id and `detail`.
    HttpReply signedIn(const Call &call, const QString &account, bool kept, int status, const QString &event,
                       const QString &detail = {}, QJsonObject more = {});
    // Reads a code root wrote for a forgotten password; the newer holds.
    // What cannot be read of it goes to problems(), and, with `say`, to
    // the journal, once.
    void readSetupCodeFile(bool say = true);
    static bool writeSetupCode(StateFolder &state, const SetupCode &code, const QString &account);

    // The upload: its status, a start, its end.
    QJsonObject status() const;
    // What runs and how long it has left, as every door refuses a second
    // send while one runs.
    QString busyText() const;
    // A send asked for by someone, through any door: refused while another
    // runs, else as startUpload.
    bool send(const QString &name, const QString &who, const QString &address, const NextStep &next,
              SetStore::Refusal *refusal);
    bool startUpload(const QString &name, const QString &who, const QString &address, const NextStep &next,
                     SetStore::Refusal *refusal);
    Scheduler::Start startScheduled(const QString &name);
    void ended(const QString &result, bool retryable, const QString &error);

    // Sets saved and deleted through any door, each logged. `ifMatch` is
    // the version the edit began from; `createOnly`, a new set's. Empty,
    // or false, and the refusal where the store would not.
    QByteArray saveSet(const QString &name, const QJsonObject &json, const std::optional<QByteArray> &ifMatch,
                       bool createOnly, const QString &who, const QString &address, SetStore::Refusal *refusal);
    QByteArray importSet(const QString &name, const QByteArray &file, const std::optional<QByteArray> &ifMatch,
                         bool createOnly, const QString &who, const QString &address, SetStore::Refusal *refusal);
    bool deleteSet(const QString &name, const QByteArray &version, const QString &who, const QString &address,
                   SetStore::Refusal *refusal);

    // What a door that follows the board is told of, whoever caused it:
    // a door that publishes the board's state needs no poll.
    enum class Change { Sets, UploadStarted, UploadEnded };
    std::function<void(Change)> changed;

    StateFolder &state;
    Clocks clocks;
    AccountStore accounts;
    SessionStore sessions;
    SetStore sets;
    KeyStore keys;
    QDateTime keysSaved;  // when a key's last use was last written
    PasswordHasher hasher;
    SignInThrottle throttle;
    TrustedDevices devices;
    AuditLog log;
    std::optional<SetupCode> setupCode;
    QString setupAccount;  // whose password the code resets; empty: the owner's
    int setupTries = 0;    // wrong ones, against this code
    // Wrong tries that make a setup code void. With 60 random bits, the
    // chance that they find it is below one in 10^15.
    static constexpr int kSetupTries = 1000;
    SetSender sender;
    QString device;
    bool deviceFixed = false;
    struct Upload {
        QString set, account;
    } upload;          // the one under way
    QJsonObject last;  // how the last one ended
    Scheduler scheduler;
};

// A JSON answer, and one that says what went wrong in words a person can
// act on.
HttpReply jsonReply(int status, const QJsonValue &value);
HttpReply errorReply(int status, const QString &error);
// A refusal while the throttle makes an address wait; `text` has %1 for
// the seconds.
HttpReply waitReply(const QString &text, std::chrono::seconds wait);
// A cookie's value in a request; empty where it sends none.
QByteArray cookieValue(const HttpRequest &request, const QByteArray &name);
inline QByteArray deviceCookie(const HttpRequest &request) { return cookieValue(request, TrustedDevices::kCookie); }
// What the log calls a device cookie: a digest, which signs nothing in.
QString deviceId(const QByteArray &cookie);
// An entity tag as HTTP writes it, and back.
QByteArray quoted(const QByteArray &version);
QByteArray unquoted(QByteArray tag);
