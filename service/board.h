// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/portmap.h"
#include "link/setsender.h"
#include "service/accounts.h"
#include "service/auditlog.h"
#include "service/keys.h"
#include "service/passwords.h"
#include "service/schedule.h"
#include "service/scheduler.h"
#include "service/sessions.h"
#include "service/setstore.h"
#include "service/setupcode.h"
#include "service/statefolder.h"
#include "service/throttle.h"
#include "service/trusteddevices.h"

#include <QJsonObject>
#include <QStringList>

#include <functional>
#include <optional>

// The board's service: the stores and the upload, which every door (the
// page's HTTP, the broker's MQTT) works through, so that an operation is
// validated, refused and logged alike whichever door it came through.
// Plain members, as each handler is a function of its own; nothing here
// knows a protocol, a route or a caller's credentials, which each door's
// gate has judged.
struct Board {
    struct Clocks {
        std::function<SessionStore::Clock::time_point()> wall = [] { return SessionStore::Clock::now(); };
        std::function<SignInThrottle::Clock::time_point()> steady = [] { return SignInThrottle::Clock::now(); };
        // Whether the wall clock has been set from the network, and the
        // zone the schedule's times are in.
        std::function<bool()> synchronised;
        QTimeZone zone = schedule::localZone();
    };

    // `ports` turns a port number into a device, as for every front end.
    Board(StateFolder &state, PortMap ports);
    Board(StateFolder &state, PortMap ports, Clocks clocks);

    // Reads the state folder; false, and `error`, where the accounts (or
    // the devices' key) cannot be read. What else of it cannot be read is
    // moved aside and said in state.problems(), and the board goes on
    // without it.
    bool open(QString *error);
    // The board's device as --port gives it (a number from 1 to 4, or a
    // device), which the owner cannot change on the page; where none is
    // given, the owner chooses one, and it is kept.
    void setDevice(const QString &given)
    {
        device = given;
        deviceFixed = !given.isEmpty();
    }
    // The code that claims the computer while it has no owner; empty once
    // it has one.
    QString setupCodeText() const { return setupCode ? setupCode->text() : QString(); }

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
    // Sends on a thread of its own, so that no request through any door
    // holds up a character.
    SetSender sender;
    QString device;
    bool deviceFixed = false;
    struct Upload {
        QString set, account;
    } upload;          // the one under way
    QJsonObject last;  // how the last one ended
    // How the broker's door stands, for the owner's page: empty where the
    // server has no broker.
    QJsonObject broker;
    Scheduler scheduler;
};
