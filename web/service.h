// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/portmap.h"
#include "link/setsender.h"
#include "web/accounts.h"
#include "web/auditlog.h"
#include "web/httpserver.h"
#include "web/keys.h"
#include "web/passwords.h"
#include "web/scheduler.h"
#include "web/sessions.h"
#include "web/setstore.h"
#include "web/setupcode.h"
#include "web/statefolder.h"
#include "web/throttle.h"

#include <QObject>

#include <functional>
#include <optional>

// The board's API: who may do what, and the sets. It answers requests that
// the HTTP server has already bounded and found addressed to this computer;
// it holds no HTTP library type, so that it can be tested, and fuzzed, on
// plain requests.
class BoardService : public QObject {
    Q_OBJECT
public:
    struct Clocks {
        std::function<SessionStore::Clock::time_point()> wall = [] { return SessionStore::Clock::now(); };
        std::function<SignInThrottle::Clock::time_point()> steady = [] { return SignInThrottle::Clock::now(); };
        // Whether the wall clock has been set from the network, and the
        // zone the schedule's times are in.
        std::function<bool()> synchronised;
        QTimeZone zone = schedule::localZone();
    };
    static constexpr const char *kCookie = "pelorin_session";

    // `ports` turns a port number into a device, as for every front end.
    BoardService(StateFolder &state, PortMap ports, QObject *parent = nullptr);
    BoardService(StateFolder &state, PortMap ports, Clocks clocks, QObject *parent = nullptr);
    // The board's device as --port gives it (a number from 1 to 4, or a
    // device), which the owner cannot change on the page; where none is
    // given, the owner chooses one, and it is kept.
    void setDevice(const QString &device)
    {
        m_device = device;
        m_deviceFixed = !device.isEmpty();
    }
    SetSender &sender() { return m_sender; }
    Scheduler &scheduler() { return m_scheduler; }
    // Reads the state folder; false, and error(), where the accounts cannot
    // be read.
    bool open();
    QString error() const { return m_error; }
    // What of the state folder could not be read, and was moved aside,
    // said so that a person can act on it; the server goes on without it.
    QStringList problems() const { return m_state.problems(); }
    // The code that claims the computer while it has no owner; empty once
    // it has one.
    QString setupCode() const { return m_setupCode ? m_setupCode->text() : QString(); }

    void handle(const HttpRequest &request, const BoardHttpServer::Answer &answer);

    // A fresh code for a forgotten password, which the running server
    // reads at the next setup; using it replaces the owner's password and
    // signs every device out.
    static bool writeSetupCode(StateFolder &state, const SetupCode &code);

private:
    // Who a request is from: a signed-in person, or a script's key.
    struct Caller {
        const SessionStore::Session *session = nullptr;
        QByteArray cookie;
        const AccountStore::Account *account = nullptr;
        std::optional<KeyStore::Key> key;
        // As the log names them.
        QString who() const { return key ? QStringLiteral("key ") + key->name : account->name; }
    };
    // A request with Authorization: judged by its key alone.
    void byKey(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer);
    // The upload's routes, for people and keys alike: the status, a send
    // and a stop. False where the request is for none of them.
    bool uploads(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                 const BoardHttpServer::Answer &answer);
    HttpReply keys(const HttpRequest &request, const Caller &caller, const QJsonObject &body);
    HttpReply scheduleRequest(const HttpRequest &request, const Caller &caller, const QJsonObject &body);
    // Starts sending the saved set `name`; false, and the refusal, where
    // nothing was sent.
    bool startUpload(const QString &name, const QString &who, const QString &address, const NextStep &next,
                     SetStore::Refusal *refusal);
    Scheduler::Start startScheduled(const QString &name);
    QDateTime wallTime() const;
    void setup(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer);
    void login(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer);
    HttpReply sets(const HttpRequest &request, const Caller &caller, const QString &rest);
    // The owner's: accounts, signed-in devices and the log.
    void owners(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                const BoardHttpServer::Answer &answer);
    void changePassword(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                        const BoardHttpServer::Answer &answer);
    HttpReply send(const HttpRequest &request, const Caller &caller, const QJsonObject &body);
    HttpReply stop(const HttpRequest &request, const Caller &caller);
    HttpReply board(const HttpRequest &request, const Caller &caller, const QJsonObject &body);
    QJsonObject status() const;
    void ended(const QString &result, bool retryable, const QString &error);
    HttpReply signedIn(const HttpRequest &request, const QString &account, bool kept, int status);
    bool saveSessions();
    void readSetupCodeFile();
    Caller callerOf(const HttpRequest &request);

    StateFolder &m_state;
    Clocks m_clocks;
    AccountStore m_accounts;
    SessionStore m_sessions;
    SetStore m_sets;
    PasswordHasher m_hasher;
    SignInThrottle m_throttle;
    AuditLog m_log;
    std::optional<SetupCode> m_setupCode;
    QString m_error;
    SetSender m_sender;
    QString m_device;
    bool m_deviceFixed = false;
    struct Upload {
        QString set, account;
    } m_upload;          // the one under way
    QJsonObject m_last;  // how the last one ended
    KeyStore m_keys;
    QDateTime m_keysSaved;  // when a key's last use was last written
    Scheduler m_scheduler;
};

// A JSON answer, and one that says what went wrong in words a person can
// act on.
HttpReply jsonReply(int status, const QJsonValue &value);
HttpReply errorReply(int status, const QString &error);
// The page's own files, served from the program.
HttpReply pageFile(const HttpRequest &request);
