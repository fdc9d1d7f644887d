// SPDX-License-Identifier: GPL-3.0-or-later
// The board's API in process, on 127.0.0.1, against hostile requests:
// claiming the computer, signing in, cookies, cross-site changes, stale
// edits and names that try to be paths.
#include "httpclient.h"
#include "link/upload.h"
#include "ptyboard.h"
#include "service/setstore.h"
#include "web/service.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <ctime>
#include <unistd.h>

using namespace std::chrono;

namespace {

QByteArray json(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

const QByteArray kJson = "Content-Type: application/json\r\n";
const QByteArray kSet = R"({"messages":["OPEN","","LOW","","","","","","IDLE"],"levels":[1,0,1,0,0,0,0,1]})";

}  // namespace

class TestServe : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void setupCode();
    void signIn();
    void changes_data();
    void changes();
    void sessionExpires();
    void sends();
    void sendsWhileTheServerIsBusy();
    void ownersAlone_data();
    void ownersAlone();
    void passwordChangeSignsOthersOut();
    void forgottenPassword_data();
    void boardsPort();
    void forgottenPassword();
    void setupCodeFile_data();
    void setupCodeFile();
    void keys_data();
    void keys();
    void wrongKeysWait();
    void guessingLocksNoOwnerOut();
    void gateOrder_data();
    void gateOrder();
    void intruderUndone_data();
    void intruderUndone();
    void savingFailsAloud_data();
    void savingFailsAloud();
    void ownerSetsStaffPassword();
    void scheduleEdits();
    void scheduleInTheGap();
    void damagedState_data();
    void damagedState();

private:
    // A new service on the same state folder, as after a restart; whether
    // it opened.
    bool restart();
    QByteArray scheduleVersion();
    // Claims the computer as "anna"; the cookie and token of her session.
    void claim();
    // Signs her in again; the answer.
    QByteArray signInAgain();
    QByteArray as(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                  const QByteArray &headers = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StateFolder> m_state;
    std::unique_ptr<Board> m_board;
    std::unique_ptr<BoardService> m_service;
    QString m_openError;  // why the board could not open, where it could not
    std::unique_ptr<BoardHttpServer> m_server;
    quint16 m_port = 0;
    SessionStore::Clock::time_point m_now = SessionStore::Clock::now();
    QTimeZone m_zone = schedule::localZone();
    bool m_synchronised = false;
    QByteArray m_cookie, m_csrf;
};

void TestServe::init()
{
    m_now = SessionStore::Clock::now();
    m_zone = schedule::localZone();
    m_synchronised = false;
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = std::make_unique<StateFolder>(m_dir->path());
    QVERIFY(m_state->open());
    QVERIFY2(restart(), qPrintable(m_openError));
    m_server = std::make_unique<BoardHttpServer>(
        [this](const HttpRequest &r, const BoardHttpServer::Answer &a) { m_service->handle(r, a); },
        QStringList{"localhost"});
    m_port = m_server->listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(m_port);
}

bool TestServe::restart()
{
    m_service.reset();
    m_board.reset();
    Board::Clocks clocks;
    clocks.wall = [this] { return m_now; };
    clocks.synchronised = [this] { return m_synchronised; };
    clocks.zone = m_zone;
    m_board = std::make_unique<Board>(
        *m_state, [] { return QStringList(); }, clocks);
    m_openError.clear();
    if (!m_board->open(&m_openError))
        return false;
    m_service = std::make_unique<BoardService>(*m_board);
    return true;
}

QByteArray TestServe::scheduleVersion()
{
    return QJsonDocument::fromJson(bodyOf(as("GET", "/api/schedule"))).object().value("version").toString().toLatin1();
}

void TestServe::cleanup()
{
    m_server.reset();
    m_service.reset();
}

void TestServe::claim()
{
    const QByteArray answer = exchange(
        m_port,
        request("POST", "/api/setup",
                json({{"code", m_board->setupCodeText()}, {"name", "anna"}, {"password", "correct horse"}}), kJson));
    QVERIFY2(statusOf(answer) == 201, answer.constData());
    const QByteArray setCookie = headerOf(answer, "Set-Cookie");
    m_cookie = setCookie.split(';').first();
    m_csrf = QJsonDocument::fromJson(bodyOf(answer)).object().value("csrf").toString().toLatin1();
    QVERIFY(!m_csrf.isEmpty());
}

QByteArray TestServe::signInAgain()
{
    const QByteArray answer =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}), kJson));
    m_cookie = headerOf(answer, "Set-Cookie").split(';').first();
    m_csrf = QJsonDocument::fromJson(bodyOf(answer)).object().value("csrf").toString().toLatin1();
    return answer;
}

QByteArray TestServe::as(const QByteArray &method, const QByteArray &path, const QByteArray &body,
                         const QByteArray &headers)
{
    return exchange(m_port, request(method, path, body, "Cookie: " + m_cookie + "\r\n" + headers));
}

void TestServe::setupCode()
{
    const QString code = m_board->setupCodeText();
    QVERIFY(!code.isEmpty());
    const auto setup = [&](const QString &typed, const QString &name = "anna") {
        return exchange(m_port, request("POST", "/api/setup",
                                        json({{"code", typed}, {"name", name}, {"password", "correct horse"}}), kJson));
    };
    // Wrong codes: refused, and after five, each try waits.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(statusOf(setup("AAAA-AAAA-AAAA")), 403);
    const QByteArray waiting = setup(code);
    QCOMPARE(statusOf(waiting), 429);
    QVERIFY(!headerOf(waiting, "Retry-After").isEmpty());
    // The same code once the wait is over, then again: only once.
    QTest::qWait(1100);
    QCOMPARE(statusOf(setup(code.toLower())), 201);
    QCOMPARE(statusOf(setup(code, "mallory")), 409);
    QVERIFY(m_board->setupCodeText().isEmpty());
}

void TestServe::signIn()
{
    claim();
    // The cookie names a session and nothing more, for this site alone.
    const QByteArray good =
        exchange(m_port, request("POST", "/api/login", json({{"name", "Anna"}, {"password", "correct horse"}}), kJson));
    QCOMPARE(statusOf(good), 200);
    const QByteArray cookie = headerOf(good, "Set-Cookie");
    QVERIFY2(cookie.contains("; Path=/; HttpOnly; SameSite=Strict"), cookie.constData());
    QVERIFY(!cookie.contains("Secure") && !cookie.contains("Max-Age"));
    QVERIFY(cookie.split(';').first() != m_cookie);  // a new identifier at every sign-in
    const QByteArray kept =
        exchange(m_port, request("POST", "/api/login",
                                 json({{"name", "anna"}, {"password", "correct horse"}, {"keep", true}}), kJson));
    QVERIFY(headerOf(kept, "Set-Cookie").contains("Max-Age=2592000"));
    // A wrong password and an unknown name are told apart by nothing.
    const QByteArray wrong =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "wrong horse"}}), kJson));
    const QByteArray unknown =
        exchange(m_port, request("POST", "/api/login", json({{"name", "nobody"}, {"password", "wrong horse"}}), kJson));
    QCOMPARE(statusOf(wrong), 401);
    QCOMPARE(statusOf(unknown), 401);
    QCOMPARE(bodyOf(wrong), bodyOf(unknown));
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    QCOMPARE(statusOf(exchange(m_port, request("GET", "/api/sets"))), 401);
}

void TestServe::changes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("headers");  // beside the cookie; TOKEN stands for the session's own
    QTest::addColumn<int>("status");
    const QByteArray token = "X-CSRF-Token: TOKEN\r\n";
    QTest::newRow("a new set") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                               << token + kJson + "If-None-Match: *\r\n"
                               << 201;
    QTest::newRow("no token") << QByteArray("PUT") << QByteArray("/api/sets/Morning") << kJson + "If-None-Match: *\r\n"
                              << 403;
    QTest::newRow("another session's token") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                             << "X-CSRF-Token: AAAA\r\n" + kJson + "If-None-Match: *\r\n"
                                             << 403;
    QTest::newRow("another site") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                  << token + kJson + "If-None-Match: *\r\nOrigin: http://attacker.example\r\n"
                                  << 403;
    QTest::newRow("another port of the same address")
        << QByteArray("PUT") << QByteArray("/api/sets/Morning")
        << token + kJson + "If-None-Match: *\r\nOrigin: http://127.0.0.1:9000\r\n"
        << 403;
    QTest::newRow("a form's type") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                   << token + "Content-Type: application/x-www-form-urlencoded\r\nIf-None-Match: *\r\n"
                                   << 415;
    QTest::newRow("text/plain") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                << token + "Content-Type: text/plain\r\nIf-None-Match: *\r\n"
                                << 415;
    QTest::newRow("a name that is a path")
        << QByteArray("PUT") << QByteArray("/api/sets/..%2Faccounts") << token + kJson + "If-None-Match: *\r\n"
        << 404;
    QTest::newRow("a stale edit") << QByteArray("PUT") << QByteArray("/api/sets/Existing")
                                  << token + kJson + "If-Match: \"0123456789abcdef0123456789abcdef\"\r\n"
                                  << 412;
    QTest::newRow("an edit that says nothing")
        << QByteArray("PUT") << QByteArray("/api/sets/Existing") << token + kJson << 428;
    QTest::newRow("a delete of another's edit") << QByteArray("DELETE") << QByteArray("/api/sets/Existing")
                                                << token + "If-Match: \"0123456789abcdef0123456789abcdef\"\r\n"
                                                << 412;
}

void TestServe::changes()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Existing", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    const QByteArray before = as("GET", "/api/sets/Existing");
    const QByteArray answer = as(method, path, kSet, headers.replace("TOKEN", m_csrf));
    QVERIFY2(statusOf(answer) == status, answer.constData());
    QVERIFY(!QJsonDocument::fromJson(bodyOf(answer)).object().isEmpty());
    // A refused change changed nothing.
    if (status >= 400) {
        QCOMPARE(as("GET", "/api/sets/Existing"), before);
        QCOMPARE(statusOf(as("GET", "/api/sets/Morning")), 404);
        QVERIFY(!QFile::exists(m_dir->path() + "/accounts.mes"));
    }
}

void TestServe::sessionExpires()
{
    claim();
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    m_now += minutes(29);
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    m_now += minutes(30);
    QCOMPARE(statusOf(as("GET", "/api/session")), 401);
}

void TestServe::sends()
{
    claim();
    PtyBoard board;
    QVERIFY(board.isValid());
    m_board->setDevice(board.path());
    // The pace is not what this tests.
    m_board->sender.setTickMs(20);
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    // What the page says a send takes, before it starts: the whole stream
    // at the pace in use, rounded up.
    const QByteArray opened = as("GET", "/api/sets/Morning");
    SetStore::Refusal refusal;
    const auto set = SetStore::fromJson(QJsonDocument::fromJson(kSet).object(), &refusal);
    QVERIFY(set);
    const MessageSet record = SetStore::messageSet(*set);
    QCOMPARE(QJsonDocument::fromJson(bodyOf(opened)).object().value("seconds").toInt(),
             (upload::buildStream(record).size() * 20 + 999) / 1000);
    const QByteArray sendMorning = json({{"set", "Morning"}});
    const QByteArray started = as("POST", "/api/send", sendMorning, token + kJson);
    QVERIFY2(statusOf(started) == 202, started.constData());
    // One upload at a time: a second is told what runs, and how long.
    const QByteArray second = as("POST", "/api/send", sendMorning, token + kJson);
    QCOMPARE(statusOf(second), 409);
    const QString said = QJsonDocument::fromJson(bodyOf(second)).object().value("error").toString();
    QVERIFY2(said.startsWith("\"Morning\" is being sent, ") && said.contains(" s left"), qPrintable(said));
    // A page loaded meanwhile finds the upload where it is.
    const QJsonObject during = QJsonDocument::fromJson(bodyOf(as("GET", "/api/status"))).object();
    QCOMPARE(during.value("state").toString(), QStringLiteral("sending"));
    QCOMPARE(during.value("set").toString(), QStringLiteral("Morning"));
    const QByteArray stream = m_board->sender.messageSet().uploadStream.toLatin1();
    QVERIFY(board.waitForBytes(int(stream.size()), 10000));
    QVERIFY(runUntil([&] { return !m_board->sender.busy(); }, 5000));
    QCOMPARE(board.received(), stream);
    const QJsonObject after = QJsonDocument::fromJson(bodyOf(as("GET", "/api/status"))).object();
    QCOMPARE(after.value("state").toString(), QStringLiteral("idle"));
    QCOMPARE(after.value("last").toObject().value("result").toString(), QStringLiteral("sent"));
    // Stopped part way: the status says so, and what the board may hold.
    QCOMPARE(statusOf(as("POST", "/api/send", sendMorning, token + kJson)), 202);
    QCOMPARE(statusOf(as("POST", "/api/stop", {}, token)), 200);
    const QJsonObject stopped = QJsonDocument::fromJson(bodyOf(as("GET", "/api/status"))).object();
    QCOMPARE(stopped.value("last").toObject().value("result").toString(), QStringLiteral("stopped"));
    QVERIFY(stopped.value("last").toObject().value("error").toString().contains("part of the set"));
    // The log has who sent what, and nothing secret.
    const QByteArray log = m_state->read("log");
    QVERIFY(log.contains("\"event\":\"send started\"") && log.contains("\"event\":\"send sent\""));
    QVERIFY(!log.contains("correct horse") && !log.contains(m_cookie.split('=').last()));
}

// The server's thread may be held up by any request; the characters keep
// their pace all the same, and a stop says how far the board got.
void TestServe::sendsWhileTheServerIsBusy()
{
    claim();
    PtyBoard board;
    QVERIFY(board.isValid());
    m_board->setDevice(board.path());
    constexpr int kTickMs = 100;
    m_board->sender.setTickMs(kTickMs);
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    QCOMPARE(statusOf(as("POST", "/api/send", json({{"set", "Morning"}}), token + kJson)), 202);
    const int total = int(m_board->sender.messageSet().uploadStream.size());
    QVERIFY(total > 40);

    // The server's thread busy for two seconds, as under a flood of
    // requests: twenty characters are due meanwhile. A loaded machine may
    // wake the sending late, so a quarter of them is enough to show that
    // it did not wait for the server.
    const auto busyFrom = PtyBoard::Clock::now();
    const auto busyUntil = busyFrom + std::chrono::seconds(2);
    while (PtyBoard::Clock::now() < busyUntil) {
    }
    const auto arrivals = board.arrivals();
    const auto during = std::count_if(arrivals.begin(), arrivals.end(),
                                      [&](const PtyBoard::Arrival &a) { return a.at > busyFrom && a.at <= busyUntil; });
    QVERIFY2(during >= 5, qPrintable(QStringLiteral("%1 characters while the server was busy").arg(during)));

    QCOMPARE(statusOf(as("POST", "/api/stop", {}, token)), 200);
    const QString said = QJsonDocument::fromJson(bodyOf(as("GET", "/api/status")))
                             .object()
                             .value("last")
                             .toObject()
                             .value("error")
                             .toString();
    // What had been handed over before the stop reaches the board, and
    // nothing after it; but a stop throws away what the system still
    // holds, which may be the last character, just handed over.
    QTest::qWait(3 * kTickMs);
    const int got = int(board.received().size());
    const auto saysSent = [&](int n) {
        return said.startsWith(QStringLiteral("Stopped after %1 of %2 characters").arg(n).arg(total));
    };
    QVERIFY2(saysSent(got) || saysSent(got + 1), qPrintable(said + QStringLiteral(" / the board got %1").arg(got)));
}

void TestServe::ownersAlone_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("the accounts") << QByteArray("GET") << QByteArray("/api/accounts") << QByteArray();
    QTest::newRow("a new account") << QByteArray("POST") << QByteArray("/api/accounts")
                                   << json({{"name", "mallory"}, {"password", "long enough"}});
    QTest::newRow("removing the owner's") << QByteArray("DELETE") << QByteArray("/api/accounts/anna") << QByteArray();
    QTest::newRow("the devices") << QByteArray("GET") << QByteArray("/api/devices") << QByteArray();
    QTest::newRow("the log") << QByteArray("GET") << QByteArray("/api/log") << QByteArray();
    QTest::newRow("the keys") << QByteArray("GET") << QByteArray("/api/keys") << QByteArray();
    QTest::newRow("a new key") << QByteArray("POST") << QByteArray("/api/keys")
                               << json({{"name", "till"}, {"scope", "send"}, {"expires", QJsonValue()}});
}

void TestServe::ownersAlone()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    claim();
    const QByteArray owners = "X-CSRF-Token: " + m_csrf + "\r\n" + (body.isEmpty() ? QByteArray() : kJson);
    QCOMPARE(statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}),
                         "X-CSRF-Token: " + m_csrf + "\r\n" + kJson)),
             201);
    const QByteArray ownerCookie = m_cookie, ownerToken = m_csrf;
    // Ben, staff, may not; the owner may (but not remove her own account).
    const QByteArray login =
        exchange(m_port, request("POST", "/api/login", json({{"name", "ben"}, {"password", "staff password"}}), kJson));
    QCOMPARE(statusOf(login), 200);
    m_cookie = headerOf(login, "Set-Cookie").split(';').first();
    m_csrf = QJsonDocument::fromJson(bodyOf(login)).object().value("csrf").toString().toLatin1();
    const QByteArray staff = "X-CSRF-Token: " + m_csrf + "\r\n" + (body.isEmpty() ? QByteArray() : kJson);
    QCOMPARE(statusOf(as(method, path, body.isEmpty() ? QByteArray() : body, staff)), 403);
    m_cookie = ownerCookie;
    m_csrf = ownerToken;
    const int owner = statusOf(as(method, path, body.isEmpty() ? QByteArray() : body, owners));
    QVERIFY2(path.endsWith("/anna") ? owner == 409 : owner / 100 == 2, qPrintable(QString::number(owner)));
}

void TestServe::passwordChangeSignsOthersOut()
{
    claim();
    const QByteArray here = m_cookie, token = m_csrf;
    const QByteArray other =
        headerOf(exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}),
                                          kJson)),
                 "Set-Cookie")
            .split(';')
            .first();
    const QByteArray change = json({{"current", "correct horse"}, {"new", "battery staple"}});
    QCOMPARE(statusOf(as("POST", "/api/password", json({{"current", "wrong"}, {"new", "battery staple"}}),
                         "X-CSRF-Token: " + token + "\r\n" + kJson)),
             403);
    QCOMPARE(statusOf(as("POST", "/api/password", change, "X-CSRF-Token: " + token + "\r\n" + kJson)), 204);
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    m_cookie = other;
    QCOMPARE(statusOf(as("GET", "/api/session")), 401);
    const QByteArray newPassword = exchange(
        m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "battery staple"}}), kJson));
    QCOMPARE(statusOf(newPassword), 200);
    m_cookie = here;
}

void TestServe::forgottenPassword_data()
{
    QTest::addColumn<QString>("account");   // whose password root's code resets; empty: the owner's
    QTest::addColumn<QString>("name");      // the name given with it, if any
    QTest::addColumn<int>("minutesLater");  // the code used this long after it was made
    QTest::addColumn<int>("status");
    QTest::newRow("the owner's, in time") << ""
                                          << "anna" << 29 << 201;
    QTest::newRow("the owner's, with no name") << ""
                                               << "" << 5 << 201;
    QTest::newRow("the owner's, expired") << ""
                                          << "anna" << 31 << 403;
    QTest::newRow("staff's") << "ben"
                             << "" << 5 << 201;
    QTest::newRow("staff's, given with the owner's name") << "ben"
                                                          << "anna" << 5 << 403;
    QTest::newRow("the owner's, given with staff's name") << ""
                                                          << "ben" << 5 << 403;
}

// A code resets the one account it was made for: staff given a code for
// their own forgotten password cannot take the owner's place with it.
void TestServe::forgottenPassword()
{
    QFETCH(QString, account);
    QFETCH(QString, name);
    QFETCH(int, minutesLater);
    QFETCH(int, status);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}), token + kJson)),
        201);
    const QByteArray ben = headerOf(
        exchange(m_port, request("POST", "/api/login", json({{"name", "ben"}, {"password", "staff password"}}), kJson)),
        "Set-Cookie");
    // Root writes a fresh code into the state folder; the running server
    // reads it at the next setup.
    const SetupCode code = SetupCode::make(m_now);
    QVERIFY(Board::writeSetupCode(*m_state, code, account));
    m_now += minutes(minutesLater);
    // The page offers the code's form again.
    const QJsonObject offered =
        QJsonDocument::fromJson(bodyOf(exchange(m_port, request("GET", "/api/setup")))).object();
    QCOMPARE(offered.value("needed").toBool(), false);
    QCOMPARE(offered.value("code_waiting").toBool(), minutesLater < 30);
    const auto setup = [&](const QString &given) {
        QJsonObject body{{"code", code.text()}, {"password", "new password"}};
        if (!given.isEmpty())
            body.insert("name", given);
        return exchange(m_port, request("POST", "/api/setup", QJsonDocument(body).toJson(), kJson));
    };
    const QByteArray reset = setup(name);
    QVERIFY2(statusOf(reset) == status, reset.constData());
    const QString whose = account.isEmpty() ? QStringLiteral("anna") : account;
    if (status != 201) {
        // Nothing changed: the passwords are still the old ones.
        QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                                   json({{"name", "anna"}, {"password", "correct horse"}}), kJson))),
                 200);
        QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                                   json({{"name", "ben"}, {"password", "staff password"}}), kJson))),
                 200);
        // A code given with the wrong name stays good for its own account.
        if (minutesLater < 30)
            QCOMPARE(statusOf(setup({})), 201);
        return;
    }
    name = whose;
    QCOMPARE(QJsonDocument::fromJson(bodyOf(reset)).object().value("name").toString(), name);
    QCOMPARE(statusOf(as("GET", "/api/session")), name == "anna" ? 401 : 200);
    QCOMPARE(
        statusOf(exchange(m_port, request("GET", "/api/session", {}, "Cookie: " + ben.split(';').first() + "\r\n"))),
        401);
    QCOMPARE(statusOf(exchange(
                 m_port, request("POST", "/api/login", json({{"name", name}, {"password", "new password"}}), kJson))),
             200);
    m_cookie = headerOf(reset, "Set-Cookie").split(';').first();
    QCOMPARE(statusOf(as("GET", "/api/sets/Morning")), 200);
    // Used once.
    QCOMPARE(statusOf(setup({})), 409);
}

void TestServe::setupCodeFile_data()
{
    QTest::addColumn<QByteArray>("file");  // CODE and MADE stand for a fresh code's
    QTest::addColumn<QString>("said");     // why it cannot be read; empty: it can
    QTest::newRow("whole, for staff") << QByteArray(R"({"code":"CODE","made":MADE,"account":"ben"})") << "";
    QTest::newRow("an account that is a number")
        << QByteArray(R"({"code":"CODE","made":MADE,"account":5})") << "account is no account's name";
    QTest::newRow("a time that is text") << QByteArray(R"({"code":"CODE","made":"MADE"})") << "made is no time";
    QTest::newRow("a code that is a number") << QByteArray(R"({"code":4711,"made":MADE})") << "code is no code";
    QTest::newRow("cut short") << QByteArray(R"({"code":"CODE","ma)") << "it is not whole JSON";
}

// Root's code for a forgotten password is read as the server wrote it, or
// not at all: an account that cannot be read is never taken for none,
// which would reset the owner's password with a code made for staff.
void TestServe::setupCodeFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, said);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}), token + kJson)),
        201);
    const SetupCode code = SetupCode::make(m_now);
    file.replace("CODE", code.text().toLatin1())
        .replace("MADE", QByteArray::number(qint64(duration_cast<seconds>(m_now.time_since_epoch()).count())));
    QVERIFY(m_state->write("setup-code.json", file));

    const QJsonObject offered =
        QJsonDocument::fromJson(bodyOf(exchange(m_port, request("GET", "/api/setup")))).object();
    QCOMPARE(offered.value("code_waiting").toBool(), said.isEmpty());
    const QByteArray reset = exchange(
        m_port, request("POST", "/api/setup", json({{"code", code.text()}, {"password", "new password"}}), kJson));
    const QStringList copies = QDir(m_dir->path()).entryList({"setup-code.json.unreadable-*"}, QDir::Files);
    const QString problems = m_state->problems().join('\n');
    if (said.isEmpty()) {
        QVERIFY2(statusOf(reset) == 201, reset.constData());
        QCOMPARE(QJsonDocument::fromJson(bodyOf(reset)).object().value("name").toString(), QStringLiteral("ben"));
        QVERIFY(copies.isEmpty());
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        return;
    }
    // No code waits, and no one's password changed.
    QVERIFY2(statusOf(reset) == 409, reset.constData());
    QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                               json({{"name", "anna"}, {"password", "correct horse"}}), kJson))),
             200);
    // Moved aside as it was, and said, on the owner's page too.
    QCOMPARE(copies.size(), 1);
    QFile copy(m_dir->path() + '/' + copies.first());
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), file);
    QVERIFY(!QFile::exists(m_dir->path() + "/setup-code.json"));
    QVERIFY2(problems.contains("setup-code.json cannot be read (" + said) && problems.contains(copy.fileName()),
             qPrintable(problems));
    const QJsonArray onPage =
        QJsonDocument::fromJson(bodyOf(as("GET", "/api/session"))).object().value("problems").toArray();
    QVERIFY2(onPage.toVariantList().value(0).toString().contains("setup-code.json cannot be read"),
             qPrintable(QJsonDocument(onPage).toJson()));
}

void TestServe::boardsPort()
{
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/board", json({{"device", "../../etc/passwd"}}), token + kJson)), 400);
    QCOMPARE(statusOf(as("PUT", "/api/board", json({{"device", "7"}}), token + kJson)), 400);
    QCOMPARE(statusOf(as("PUT", "/api/board", json({{"device", "/dev/serial/by-id/usb-FTDI-if00"}}), token + kJson)),
             200);
    // Kept over a restart.
    m_server.reset();
    m_service.reset();
    m_board = std::make_unique<Board>(*m_state, [] { return QStringList(); });
    QVERIFY(m_board->open(&m_openError));
    m_service = std::make_unique<BoardService>(*m_board);
    m_server = std::make_unique<BoardHttpServer>(
        [this](const HttpRequest &r, const BoardHttpServer::Answer &a) { m_service->handle(r, a); },
        QStringList{"localhost"});
    m_port = m_server->listenOn(QHostAddress::LocalHost, 0);
    const QByteArray got = as("GET", "/api/board");
    const QJsonObject board = QJsonDocument::fromJson(bodyOf(got)).object();
    QVERIFY2(statusOf(got) == 200, got.constData());
    QCOMPARE(board.value("device").toString(), QStringLiteral("/dev/serial/by-id/usb-FTDI-if00"));
    // Given where the server starts, it is not the page's to change.
    m_board->setDevice(QStringLiteral("/dev/tavro"));
    QCOMPARE(statusOf(as("PUT", "/api/board", json({{"device", "1"}}), token + kJson)), 409);
    QCOMPARE(statusOf(as("GET", "/api/ports")), 200);
}

void TestServe::keys_data()
{
    QTest::addColumn<QByteArray>("key");  // which of the owner's keys
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    const QByteArray set = "If-Match: \"VERSION\"\r\n";
    const QByteArray none;
    QTest::newRow("send: the status") << QByteArray("till") << QByteArray("GET") << QByteArray("/api/status") << none
                                      << 200;
    // Let through, and refused only as there is no port.
    QTest::newRow("send: a send") << QByteArray("till") << QByteArray("POST") << QByteArray("/api/send") << none << 409;
    QTest::newRow("send: a send from another site's page, with no token")
        << QByteArray("till") << QByteArray("POST") << QByteArray("/api/send")
        << QByteArray("Origin: http://evil.example\r\n") << 409;
    QTest::newRow("send: the sets' names")
        << QByteArray("till") << QByteArray("GET") << QByteArray("/api/sets") << none << 200;
    QTest::newRow("send: a set saved") << QByteArray("till") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                       << set << 403;
    QTest::newRow("edit: a set saved") << QByteArray("sync") << QByteArray("PUT") << QByteArray("/api/sets/Morning")
                                       << set << 200;
    QTest::newRow("edit: a set deleted") << QByteArray("sync") << QByteArray("DELETE")
                                         << QByteArray("/api/sets/Morning") << set << 204;
    QTest::newRow("edit: the accounts") << QByteArray("sync") << QByteArray("GET") << QByteArray("/api/accounts")
                                        << none << 403;
    QTest::newRow("edit: a new key") << QByteArray("sync") << QByteArray("POST") << QByteArray("/api/keys") << none
                                     << 403;
    QTest::newRow("edit: the schedule") << QByteArray("sync") << QByteArray("PUT") << QByteArray("/api/schedule")
                                        << QByteArray("If-Match: \"x\"\r\n") << 403;
    QTest::newRow("edit: a sign-in, which would set a cookie")
        << QByteArray("sync") << QByteArray("POST") << QByteArray("/api/login") << none << 403;
    QTest::newRow("edit, beside the owner's cookie: the accounts")
        << QByteArray("sync") << QByteArray("GET") << QByteArray("/api/accounts") << QByteArray("COOKIE") << 403;
    QTest::newRow("expired") << QByteArray("old") << QByteArray("GET") << QByteArray("/api/status") << none << 401;
    QTest::newRow("revoked") << QByteArray("gone") << QByteArray("GET") << QByteArray("/api/status") << none << 401;
    QTest::newRow("a session's cookie as a key")
        << QByteArray("COOKIE") << QByteArray("GET") << QByteArray("/api/status") << none << 401;
}

void TestServe::keys()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    const QByteArray made = as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n");
    const QByteArray version = QJsonDocument::fromJson(bodyOf(made)).object().value("version").toString().toLatin1();
    QHash<QByteArray, QByteArray> keys;
    const QString tomorrow = QDateTime::fromSecsSinceEpoch(duration_cast<seconds>(m_now.time_since_epoch()).count())
                                 .addDays(1)
                                 .toString("yyyy-MM-dd");
    for (const auto &[name, scope, expires] :
         {std::tuple{"till", "send", QJsonValue()}, std::tuple{"sync", "edit", QJsonValue()},
          std::tuple{"old", "edit", QJsonValue(tomorrow)}, std::tuple{"gone", "edit", QJsonValue()}}) {
        const QByteArray answer =
            as("POST", "/api/keys", json({{"name", name}, {"scope", scope}, {"expires", expires}}), token + kJson);
        QVERIFY2(statusOf(answer) == 201, answer.constData());
        keys.insert(name, QJsonDocument::fromJson(bodyOf(answer)).object().value("key").toString().toLatin1());
    }
    QCOMPARE(statusOf(as("DELETE", "/api/keys/gone", {}, token)), 204);
    m_now += hours(49);  // past the end of tomorrow, in any zone
    keys.insert("COOKIE", m_cookie.split('=').last());
    QByteArray sent = "Authorization: Bearer " + keys.value(key) + "\r\n";
    sent += headers.replace("VERSION", version).replace("COOKIE", "Cookie: " + m_cookie + "\r\n");
    const bool sendsJson = method == "POST" || (method == "PUT" && path != "/api/schedule");
    const QByteArray body = path == "/api/send"             ? json({{"set", "Morning"}})
                            : path.startsWith("/api/sets/") ? kSet
                            : path == "/api/schedule"       ? QByteArray(R"({"entries":[]})")
                                                            : QByteArray("{}");
    const QByteArray answer =
        exchange(m_port, request(method, path, method == "GET" || method == "DELETE" ? QByteArray() : body,
                                 sent + (sendsJson || path == "/api/schedule" ? kJson : QByteArray())));
    QVERIFY2(statusOf(answer) == status, answer.constData());
    // A key never gets a cookie, and is never written down.
    QVERIFY(headerOf(answer, "Set-Cookie").isEmpty());
    QVERIFY(!m_state->read("keys.json").contains(keys.value(key)));
    const QByteArray log = m_state->read("log");
    QVERIFY(!log.contains(keys.value(key)));
    if (status / 100 == 2 && method != "GET")
        QVERIFY2(log.contains("\"account\":\"key " + key + '"'), log.constData());
}

void TestServe::wrongKeysWait()
{
    claim();
    const QByteArray made =
        as("POST", "/api/keys", json({{"name", "till"}, {"scope", "send"}, {"expires", QJsonValue()}}),
           "X-CSRF-Token: " + m_csrf + "\r\n" + kJson);
    const QByteArray key = QJsonDocument::fromJson(bodyOf(made)).object().value("key").toString().toLatin1();
    const auto withKey = [&](const QByteArray &text) {
        return exchange(m_port, request("GET", "/api/status", {}, "Authorization: Bearer " + text + "\r\n"));
    };
    QByteArray guess = key;
    guess[guess.size() - 1] = guess.endsWith('A') ? 'B' : 'A';
    for (int i = 0; i < 5; ++i)
        QCOMPARE(statusOf(withKey(guess)), 401);
    // A right key is judged before the throttle, which no one's wrong
    // guesses can make it wait for; the next wrong key waits, and so does
    // a sign-in by a stranger from that address.
    QCOMPARE(statusOf(withKey(key)), 200);
    QCOMPARE(statusOf(withKey(guess)), 429);
    const QByteArray login =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}), kJson));
    QCOMPARE(statusOf(login), 429);
    QTest::qWait(1100);
    QCOMPARE(statusOf(withKey(key)), 200);
    // The owner sees its last use, never the key.
    const QByteArray listed = as("GET", "/api/keys");
    QVERIFY(!listed.contains(key));
    QVERIFY(!QJsonDocument::fromJson(bodyOf(listed)).array().at(0).toObject().value("last_used").toString().isEmpty());
}

// Hostile: forty addresses guess passwords and keys as fast as they are
// answered, then one address at a time past the account's bound. The owner's
// browser, which signed in before, still signs in at once from an address
// it never used, and a right key is answered at once; a stranger's browser
// is held back and told why and what to do; a guessing address is slowed.
void TestServe::guessingLocksNoOwnerOut()
{
    claim();
    const QByteArray claimed =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}), kJson));
    const qsizetype at = claimed.indexOf("pelorin_device=");
    QVERIFY(at > 0);
    const QByteArray device = claimed.mid(at, claimed.indexOf(';', at) - at);
    const QByteArray made =
        as("POST", "/api/keys", json({{"name", "till"}, {"scope", "send"}, {"expires", QJsonValue()}}),
           "X-CSRF-Token: " + m_csrf + "\r\n" + kJson);
    const QByteArray key = QJsonDocument::fromJson(bodyOf(made)).object().value("key").toString().toLatin1();

    int sent = 0, answered = 0;
    QHash<int, int> statuses;
    const auto ask = [&](const QByteArray &method, const QString &path, const QString &peer,
                         QList<QPair<QByteArray, QByteArray>> headers, const QByteArray &body = {}) {
        HttpRequest r{method,
                      path,
                      {},
                      std::move(headers),
                      body,
                      QHostAddress(peer),
                      QHostAddress::LocalHost,
                      QStringLiteral("http")};
        ++sent;
        int status = 0;
        m_service->handle(r, [&, peer](const HttpReply &reply) {
            ++answered;
            ++statuses[reply.status];
            status = reply.status;
        });
        return status;  // 0 while its answer waits for a hash
    };
    const QList<QPair<QByteArray, QByteArray>> jsonType{{"content-type", "application/json"}};
    const QByteArray wrong = json({{"name", "anna"}, {"password", "not the password"}});
    for (int i = 0; i < 200; ++i) {
        const QString peer = QStringLiteral("10.0.%1.1").arg(i % 40);
        ask("POST", "/api/login", peer, jsonType, wrong);
        ask("GET", "/api/status", peer, {{"authorization", "Bearer wrong" + QByteArray::number(i)}});
    }
    QTRY_COMPARE_WITH_TIMEOUT(answered, sent, 60000);
    // Past the account's bound, one at a time from addresses never seen.
    for (int i = 0; i < SignInThrottle::kAccountFailures; ++i) {
        const int before = answered;
        ask("POST", "/api/login", QStringLiteral("10.1.%1.1").arg(i), jsonType, wrong);
        QTRY_VERIFY_WITH_TIMEOUT(answered > before, 20000);
    }

    // A guessing address is slowed: its sixth wrong key in a row waits...
    for (int i = 0; i < SignInThrottle::kFreeFailures; ++i)
        QCOMPARE(ask("GET", "/api/status", QStringLiteral("10.9.9.9"), {{"authorization", "Bearer wrong"}}), 401);
    QCOMPARE(ask("GET", "/api/status", QStringLiteral("10.9.9.9"), {{"authorization", "Bearer wrong"}}), 429);
    // ...while a valid key, even from there, is answered at once.
    QCOMPARE(ask("GET", "/api/status", QStringLiteral("10.9.9.9"), {{"authorization", "Bearer " + key}}), 200);
    // A stranger's browser with the right password is held back, and told
    // what to do.
    const QByteArray right = json({{"name", "anna"}, {"password", "correct horse"}});
    int status = 0;
    QByteArray said;
    m_service->handle(
        HttpRequest{
            "POST", "/api/login", {}, jsonType, right, QHostAddress("10.2.0.1"), QHostAddress::LocalHost, "http"},
        [&](const HttpReply &reply) {
            status = reply.status;
            said = reply.body;
        });
    QTRY_VERIFY(status != 0);
    QCOMPARE(status, 429);
    QVERIFY2(said.contains("signed in to it before") && said.contains("--setup-code"), said.constData());
    // The owner's browser, from an address it never used: signed in.
    status = 0;
    auto withDevice = jsonType;
    withDevice.append({"cookie", device});
    m_service->handle(
        HttpRequest{
            "POST", "/api/login", {}, withDevice, right, QHostAddress("10.3.0.1"), QHostAddress::LocalHost, "http"},
        [&](const HttpReply &reply) { status = reply.status; });
    QTRY_VERIFY_WITH_TIMEOUT(status != 0, 10000);
    QCOMPARE(status, 200);
    // And the same browser with a wrong password, a few times, loses the
    // exemption for a while: its cookie is no key to guess with.
    for (int i = 0; i < TrustedDevices::kFailures; ++i) {
        status = 0;
        m_service->handle(
            HttpRequest{
                "POST", "/api/login", {}, withDevice, wrong, QHostAddress("10.3.0.2"), QHostAddress::LocalHost, "http"},
            [&](const HttpReply &reply) { status = reply.status; });
        QTRY_VERIFY_WITH_TIMEOUT(status != 0, 10000);
    }
    status = 0;
    m_service->handle(
        HttpRequest{
            "POST", "/api/login", {}, withDevice, right, QHostAddress("10.3.0.3"), QHostAddress::LocalHost, "http"},
        [&](const HttpReply &reply) { status = reply.status; });
    QTRY_VERIFY_WITH_TIMEOUT(status != 0, 10000);
    QCOMPARE(status, 429);
}

void TestServe::gateOrder_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("headers");  // COOKIE, TOKEN and KEY stand for staff's
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    const QByteArray foreign = "Origin: http://evil.example\r\n";
    const QByteArray text = "Content-Type: text/plain\r\n";
    QTest::newRow("no such route, from another site")
        << QByteArray("POST") << QByteArray("/api/nothing") << foreign << 404 << "nothing at";
    QTest::newRow("a wrong method, from another site")
        << QByteArray("DELETE") << QByteArray("/api/status") << foreign << 405 << "GET, HEAD";
    // HEAD is the GET of its route: judged alike, answered alike, with no
    // body; what it says is in its headers.
    QTest::newRow("HEAD, on a route with no GET")
        << QByteArray("HEAD") << QByteArray("/api/send") << foreign << 405 << "Allow: POST\r\n";
    QTest::newRow("HEAD, no one, on a person's route")
        << QByteArray("HEAD") << QByteArray("/api/sets") << QByteArray() << 401 << "application/json";
    QTest::newRow("HEAD, staff on the owner's route")
        << QByteArray("HEAD") << QByteArray("/api/log") << QByteArray("COOKIE") << 403 << "application/json";
    QTest::newRow("HEAD, signed in") << QByteArray("HEAD") << QByteArray("/api/session") << QByteArray("COOKIE") << 200
                                     << "application/json";
    QTest::newRow("HEAD of the page") << QByteArray("HEAD") << QByteArray("/") << QByteArray() << 200 << "text/html";
    QTest::newRow("another site's form, signed in")
        << QByteArray("PUT") << QByteArray("/api/board") << foreign + text + "COOKIE" << 403 << "another page";
    QTest::newRow("a form's type, before who sends it")
        << QByteArray("PUT") << QByteArray("/api/board") << text << 415 << "JSON";
    QTest::newRow("no token, before the owner's route")
        << QByteArray("PUT") << QByteArray("/api/board") << kJson + "COOKIE" << 403 << "reload the page";
    QTest::newRow("staff on the owner's route")
        << QByteArray("PUT") << QByteArray("/api/board") << kJson + "COOKIE" + "TOKEN" << 403 << "Only the owner";
    QTest::newRow("a wrong key, before the route's role")
        << QByteArray("GET") << QByteArray("/api/accounts") << QByteArray("Authorization: Bearer nothing\r\n") << 401
        << "no key";
    QTest::newRow("a right key on a person's route")
        << QByteArray("GET") << QByteArray("/api/accounts") << QByteArray("KEY") << 403 << "needs a person";
    QTest::newRow("a key cannot sign in")
        << QByteArray("POST") << QByteArray("/api/login") << kJson + "KEY" << 403 << "needs a person";
    QTest::newRow("no one, on a person's route")
        << QByteArray("GET") << QByteArray("/api/sets") << QByteArray() << 401 << "Sign in first";
}

// A request that fails several checks is refused by the first of them, in
// the gate's one order, whatever its route.
void TestServe::gateOrder()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QString, said);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}), token + kJson)),
        201);
    const QByteArray made =
        as("POST", "/api/keys", json({{"name", "till"}, {"scope", "edit"}, {"expires", QJsonValue()}}), token + kJson);
    const QByteArray key = QJsonDocument::fromJson(bodyOf(made)).object().value("key").toString().toLatin1();
    const QByteArray ben =
        exchange(m_port, request("POST", "/api/login", json({{"name", "ben"}, {"password", "staff password"}}), kJson));
    headers.replace("COOKIE", "Cookie: " + headerOf(ben, "Set-Cookie").split(';').first() + "\r\n");
    headers.replace("TOKEN",
                    "X-CSRF-Token: " + QJsonDocument::fromJson(bodyOf(ben)).object().value("csrf").toString().toLatin1()
                        + "\r\n");
    headers.replace("KEY", "Authorization: Bearer " + key + "\r\n");
    const bool bodiless = method == "GET" || method == "HEAD";
    const QByteArray answer = exchange(m_port, request(method, path, bodiless ? QByteArray() : "{}", headers));
    QVERIFY2(statusOf(answer) == status, answer.constData());
    // Allowed, HEAD goes where GET does.
    const QByteArray allowed = headerOf(answer, "Allow");
    QCOMPARE(allowed.contains("HEAD"), allowed.contains("GET"));
    if (method == "HEAD") {
        QVERIFY2(answer.left(answer.indexOf("\r\n\r\n") + 2).contains(said.toUtf8()), answer.constData());
        QVERIFY2(answer.endsWith("\r\n\r\n"), answer.constData());
        // The same answer as GET's, but for the body, whose length it names.
        if (status != 405) {
            const QByteArray got = exchange(m_port, request("GET", path, {}, headers));
            QCOMPARE(statusOf(got), status);
            QCOMPARE(answer, got.left(got.indexOf("\r\n\r\n") + 4));
            QCOMPARE(headerOf(answer, "Content-Length").toInt(), bodyOf(got).size());
            QVERIFY(bodyOf(got).size() > 0);
        }
    } else {
        QVERIFY2(QString::fromUtf8(bodyOf(answer)).contains(said), answer.constData());
    }
    // The server serves on.
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
}

void TestServe::savingFailsAloud_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("a sign-in's session") << "sessions.json" << QByteArray("POST") << QByteArray("/api/login")
                                         << json({{"name", "anna"}, {"password", "correct horse"}});
    QTest::newRow("a removed account's sessions")
        << "sessions.json" << QByteArray("DELETE") << QByteArray("/api/accounts/ben") << QByteArray();
    QTest::newRow("a new key") << "keys.json" << QByteArray("POST") << QByteArray("/api/keys")
                               << json({{"name", "till"}, {"scope", "send"}, {"expires", QJsonValue()}});
    QTest::newRow("the board's port") << "settings.json" << QByteArray("PUT") << QByteArray("/api/board")
                                      << json({{"device", "/dev/ttyUSB0"}});
}

// A state file that cannot be written is answered as such, naming it, and
// never taken for written. A folder in the file's place makes the write
// fail for root too.
void TestServe::savingFailsAloud()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}), token + kJson)),
        201);
    QFile::remove(m_dir->path() + '/' + file);
    QVERIFY(QDir(m_dir->path()).mkpath(file + "/in the way"));
    const QByteArray answer = as(method, path, body, token + (body.isEmpty() ? QByteArray() : kJson));
    QVERIFY2(statusOf(answer) == 500, answer.constData());
    QVERIFY2(bodyOf(answer).contains(file.toUtf8()), answer.constData());
    // The server serves on; once the file can be written, a removal reads
    // no freed account: the log names who removed.
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    QVERIFY(QDir(m_dir->path() + '/' + file).removeRecursively());
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "cat"}, {"password", "staff password"}}), token + kJson)),
        201);
    QCOMPARE(statusOf(as("DELETE", "/api/accounts/cat", {}, token)), 204);
    const QByteArray log = m_state->read("log");
    QVERIFY2(log.contains(R"("account":"anna","address":"127.0.0.1","detail":"cat","event":"account removed")"),
             log.constData());
}

void TestServe::intruderUndone_data()
{
    QTest::addColumn<QByteArray>("does");  // what the intruder does beside adding eve and a key
    QTest::addColumn<QJsonArray>("accounts");
    QTest::addColumn<QJsonArray>("keys");
    QTest::newRow("adds and leaves") << QByteArray() << QJsonArray{"eve"} << QJsonArray{"backdoor"};
    QTest::newRow("signs in as the owner last") << QByteArray("sign in") << QJsonArray{"eve"} << QJsonArray{"backdoor"};
    QTest::newRow("a second key, in another case")
        << QByteArray("Backdoor") << QJsonArray{"eve"} << QJsonArray{"backdoor", "Backdoor"};
    QTest::newRow("sets a staff member's password")
        << QByteArray("bob") << QJsonArray{"eve", "bob"} << QJsonArray{"backdoor"};
}

// Hostile: someone who had the owner's password added staff and a key.
// After the owner's reset, from the owner's own browser, the owner sees
// them at once, whatever the intruder did to hide them, and one step
// removes them and signs everyone else out.
void TestServe::intruderUndone()
{
    QFETCH(QByteArray, does);
    QFETCH(QJsonArray, accounts);
    QFETCH(QJsonArray, keys);
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "bob"}, {"password", "bob's password"}}), token + kJson)),
        201);
    m_now += minutes(1);
    // The owner's own browser signs in, and keeps its device cookie.
    const QByteArray owner =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}), kJson));
    const qsizetype at = owner.indexOf("pelorin_device=");
    QVERIFY(at > 0);
    const QByteArray device = owner.mid(at, owner.indexOf(';', at) - at);
    m_now += minutes(1);
    // The intruder, with the owner's password, in a browser of its own.
    const QByteArray intruder =
        exchange(m_port, request("POST", "/api/login", json({{"name", "anna"}, {"password", "correct horse"}}), kJson));
    const QByteArray theirs = "Cookie: " + headerOf(intruder, "Set-Cookie").split(';').first() + "\r\nX-CSRF-Token: "
                              + QJsonDocument::fromJson(bodyOf(intruder)).object().value("csrf").toString().toLatin1()
                              + "\r\n";
    const auto asIntruder = [&](const QByteArray &method, const QByteArray &path, const QJsonObject &body) {
        return statusOf(exchange(m_port, request(method, path, json(body), theirs + kJson)));
    };
    QCOMPARE(asIntruder("POST", "/api/accounts", {{"name", "eve"}, {"password", "eve's password"}}), 201);
    QByteArrayList made;
    for (const char *name : {"backdoor", does == "Backdoor" ? "Backdoor" : nullptr}) {
        if (!name)
            continue;
        const QByteArray answer = exchange(
            m_port, request("POST", "/api/keys", json({{"name", name}, {"scope", "edit"}, {"expires", QJsonValue()}}),
                            theirs + kJson));
        QCOMPARE(statusOf(answer), 201);
        made << QJsonDocument::fromJson(bodyOf(answer)).object().value("key").toString().toLatin1();
    }
    if (does == "bob")
        QCOMPARE(asIntruder("PUT", "/api/accounts/bob/password", {{"password", "taken over"}}), 204);
    if (does == "sign in") {
        m_now += minutes(1);
        QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                                   json({{"name", "anna"}, {"password", "correct horse"}}), kJson))),
                 200);
    }
    m_now += minutes(5);
    const SetupCode code = SetupCode::make(m_now);
    QVERIFY(Board::writeSetupCode(*m_state, code, {}));
    const QByteArray reset =
        exchange(m_port, request("POST", "/api/setup", json({{"code", code.text()}, {"password", "a new password"}}),
                                 "Cookie: " + device + "\r\n" + kJson));
    QVERIFY2(statusOf(reset) == 201, reset.constData());
    const QJsonObject signedIn = QJsonDocument::fromJson(bodyOf(reset)).object();
    QVERIFY(signedIn.value("review").toBool());
    m_cookie = headerOf(reset, "Set-Cookie").split(';').first();
    m_csrf = signedIn.value("csrf").toString().toLatin1();
    const QJsonObject review = QJsonDocument::fromJson(bodyOf(as("GET", "/api/review"))).object();
    QCOMPARE(review.value("accounts").toArray(), accounts);
    QCOMPARE(review.value("keys").toArray(), keys);
    // Each entry says when and from where.
    for (const QJsonValue &entry : review.value("entries").toArray())
        QVERIFY(entry.toObject().contains("time") && entry.toObject().contains("address"));
    QCOMPARE(statusOf(as("POST", "/api/recover", {}, "X-CSRF-Token: " + m_csrf + "\r\n")), 200);
    QCOMPARE(statusOf(exchange(m_port, request("GET", "/api/session", {}, theirs))), 401);
    for (const char *name : {"eve", "bob"}) {
        const bool removed = accounts.contains(QJsonValue(name));
        QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                                   json({{"name", name}, {"password", QString(name) + "'s password"}}),
                                                   kJson))),
                 removed ? 401 : 200);
    }
    for (const QByteArray &key : made)
        QCOMPARE(statusOf(exchange(m_port, request("GET", "/api/status", {}, "Authorization: Bearer " + key + "\r\n"))),
                 401);
    // The owner stays signed in, and the log says what was done.
    QCOMPARE(statusOf(as("GET", "/api/session")), 200);
    QVERIFY(m_state->read("log").contains("everyone signed out"));
}

// Staff who forgot a password need no root: the owner sets a new one on
// the page, and their devices sign in again.
void TestServe::ownerSetsStaffPassword()
{
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(
        statusOf(as("POST", "/api/accounts", json({{"name", "ben"}, {"password", "staff password"}}), token + kJson)),
        201);
    const QByteArray benLogin =
        exchange(m_port, request("POST", "/api/login", json({{"name", "ben"}, {"password", "staff password"}}), kJson));
    const QByteArray ben = headerOf(benLogin, "Set-Cookie").split(';').first();
    const QByteArray benCsrf = QJsonDocument::fromJson(bodyOf(benLogin)).object().value("csrf").toString().toLatin1();
    // Staff may not set another's password, the owner's least of all.
    QCOMPARE(statusOf(exchange(m_port, request("PUT", "/api/accounts/anna/password", json({{"password", "taken over"}}),
                                               "Cookie: " + ben + "\r\nX-CSRF-Token: " + benCsrf + "\r\n" + kJson))),
             403);
    QCOMPARE(statusOf(as("PUT", "/api/accounts/anna/password", json({{"password", "a password"}}), token + kJson)),
             409);
    QCOMPARE(statusOf(as("PUT", "/api/accounts/ben/password", json({{"password", "short"}}), token + kJson)), 400);
    QCOMPARE(statusOf(as("PUT", "/api/accounts/ben/password", json({{"password", "ben's new one"}}), token + kJson)),
             204);
    QCOMPARE(statusOf(exchange(m_port, request("GET", "/api/session", {}, "Cookie: " + ben + "\r\n"))), 401);
    QCOMPARE(statusOf(exchange(
                 m_port, request("POST", "/api/login", json({{"name", "ben"}, {"password", "ben's new one"}}), kJson))),
             200);
    QCOMPARE(statusOf(exchange(m_port, request("POST", "/api/login",
                                               json({{"name", "anna"}, {"password", "correct horse"}}), kJson))),
             200);
}

void TestServe::scheduleEdits()
{
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    const QByteArray read = as("GET", "/api/schedule");
    const QByteArray version = QJsonDocument::fromJson(bodyOf(read)).object().value("version").toString().toLatin1();
    QCOMPARE(headerOf(read, "ETag"), '"' + version + '"');
    const QByteArray morning = R"({"entries":[{"set":"Morning","time":"06:00","days":["mon","sat"]}]})";
    QCOMPARE(statusOf(as("PUT", "/api/schedule", morning, token + kJson)), 428);
    const QByteArray bad = R"({"entries":[{"set":"Morning","time":"6 am","days":["mon"]}]})";
    const QByteArray refused = as("PUT", "/api/schedule", bad, token + kJson + "If-Match: \"" + version + "\"\r\n");
    QCOMPARE(statusOf(refused), 400);
    QVERIFY(bodyOf(refused).contains("entry 1: time"));
    const QByteArray saved = as("PUT", "/api/schedule", morning, token + kJson + "If-Match: \"" + version + "\"\r\n");
    QVERIFY2(statusOf(saved) == 200, saved.constData());
    const QJsonObject now = QJsonDocument::fromJson(bodyOf(saved)).object();
    QVERIFY(!now.value("entries").toArray().at(0).toObject().value("next").toString().isEmpty());
    // A second page that opened the schedule before is refused, and shown
    // the schedule as it is now.
    const QByteArray stale =
        as("PUT", "/api/schedule", R"({"entries":[]})", token + kJson + "If-Match: \"" + version + "\"\r\n");
    QCOMPARE(statusOf(stale), 412);
    QCOMPARE(
        QJsonDocument::fromJson(bodyOf(stale)).object().value("schedule").toObject().value("entries").toArray().size(),
        1);
    QVERIFY(m_state->read("log").contains("\"event\":\"schedule saved\""));
}

void TestServe::scheduleInTheGap()
{
    // A shop in Berlin, a week before the clocks go forward at 02:00 on
    // 28 March 2027; the computer's own zone is Berlin too.
    const QByteArray oldZone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    ::tzset();
    const auto restoreZone = qScopeGuard([&] {
        oldZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", oldZone);
        ::tzset();
    });
    const auto at = [](const char *utc) {
        return SessionStore::Clock::time_point(
            seconds(QDateTime::fromString(QString::fromLatin1(utc), Qt::ISODate).toSecsSinceEpoch()));
    };
    m_now = at("2027-03-20T12:00:00Z");
    m_zone = QTimeZone("Europe/Berlin");
    m_synchronised = true;
    QVERIFY(restart());
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/CON", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    const QByteArray gap = R"({"entries":[{"set":"CON","at":"2027-03-28T02:30"}]})";
    const QByteArray saved =
        as("PUT", "/api/schedule", gap, token + kJson + "If-Match: \"" + scheduleVersion() + "\"\r\n");
    QVERIFY2(statusOf(saved) == 200, saved.constData());
    // 02:30 is not a time of that day: the first minute after the gap.
    const auto entry = [&] {
        return QJsonDocument::fromJson(bodyOf(as("GET", "/api/schedule")))
            .object()
            .value("entries")
            .toArray()
            .at(0)
            .toObject();
    };
    QCOMPARE(entry().value("at").toString(), QStringLiteral("2027-03-28T02:30"));
    QCOMPARE(entry().value("next").toString(), QStringLiteral("2027-03-28T03:00:00+02:00"));
    QVERIFY(restart());
    QCOMPARE(entry().value("at").toString(), QStringLiteral("2027-03-28T02:30"));
    QCOMPARE(entry().value("next").toString(), QStringLiteral("2027-03-28T03:00:00+02:00"));
    // And it goes then (to no board, here: the try is what counts).
    m_now = at("2027-03-28T01:00:30Z");
    m_board->scheduler.check();
    signInAgain();
    QCOMPARE(entry().value("last").toObject().value("due").toString(), QStringLiteral("2027-03-28T03:00:00+02:00"));
    QVERIFY(entry().value("next").isNull());
}

void TestServe::damagedState_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("starts");
    const char *const files[] = {"accounts.json",       "keys.json",     "sessions.json", "schedule.json",
                                 "schedule-state.json", "settings.json", "device-key"};
    for (const char *file : files) {
        const bool starts = QLatin1String(file) != "accounts.json" && QLatin1String(file) != "device-key";
        for (const char *damage :
             {"cut in half", "emptied", "garbage", "another shape", "a field of the wrong type", "unreadable"}) {
            if (QLatin1String(file) == "device-key" && QLatin1String(damage) == "a field of the wrong type")
                continue;
            QTest::addRow("%s, %s", file, damage) << file << damage << starts;
        }
    }
}

namespace {

// The file, with one value of another type than the server writes there.
QByteArray withWrongType(const QString &file, const QByteArray &bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (file == "settings.json")
        return R"({"device":5})";
    if (file == "schedule.json") {
        QJsonObject o = document.object();
        QJsonArray entries = o.value("entries").toArray();
        entries[0] = "Morning at 06:00 on Mondays";
        o.insert("entries", entries);
        return QJsonDocument(o).toJson();
    }
    if (file == "schedule-state.json") {
        QJsonObject o = document.object();
        QJsonObject state = o.begin().value().toObject();
        state.insert("judged", 5);
        o.insert(o.begin().key(), state);
        return QJsonDocument(o).toJson();
    }
    // A list of records: accounts, keys, sessions.
    QJsonArray list = document.array();
    QJsonObject first = list.at(0).toObject();
    const char *field = file == "accounts.json" ? "role" : file == "keys.json" ? "expires" : "created";
    first.insert(field, file == "sessions.json" ? QJsonValue("yesterday") : QJsonValue(5));
    list[0] = first;
    return QJsonDocument(list).toJson();
}

}  // namespace

void TestServe::damagedState()
{
    QFETCH(QString, file);
    QFETCH(QString, damage);
    QFETCH(bool, starts);
    if (damage == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads any file");
    // A folder in which every file is there.
    claim();
    const QByteArray token = "X-CSRF-Token: " + m_csrf + "\r\n";
    QCOMPARE(statusOf(as("PUT", "/api/sets/Morning", kSet, token + kJson + "If-None-Match: *\r\n")), 201);
    const QByteArray morning = R"({"entries":[{"set":"Morning","time":"06:00","days":["mon"]}]})";
    QCOMPARE(
        statusOf(as("PUT", "/api/schedule", morning, token + kJson + "If-Match: \"" + scheduleVersion() + "\"\r\n")),
        200);
    QCOMPARE(statusOf(as("POST", "/api/keys",
                         json({{"name", "nightly"}, {"scope", "send"}, {"expires", QJsonValue::Null}}), token + kJson)),
             201);
    QCOMPARE(statusOf(as("PUT", "/api/board", json({{"device", "1"}}), token + kJson)), 200);
    const QString path = m_dir->path() + '/' + file;
    QVERIFY2(QFile::exists(path), qPrintable(file));

    QFile target(path);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QByteArray bytes = target.readAll();
    target.close();
    if (damage == "cut in half")
        bytes.truncate(bytes.size() / 2);
    else if (damage == "emptied")
        bytes.clear();
    else if (damage == "garbage")
        bytes = QByteArray("\x89PNG\r\n\x1a\n\0\0garbage", 16);
    else if (damage == "another shape")
        bytes = bytes.trimmed().startsWith('[') ? "{\"entries\":[]}" : "[]";
    else if (damage == "a field of the wrong type")
        bytes = withWrongType(file, bytes);
    QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(target.write(bytes), bytes.size());
    target.close();
    if (damage == "unreadable")
        QVERIFY(target.setPermissions({}));

    QCOMPARE(restart(), starts);
    const QString keptPattern = file + ".unreadable-*";
    const auto keptCopies = [&] { return QDir(m_dir->path()).entryList({keptPattern}, QDir::Files); };
    const auto bytesOf = [](const QString &name) {
        QFile copy(name);
        copy.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray();
    };
    if (!starts) {
        // Refused, and left as it is.
        QVERIFY2(m_openError.contains(file), qPrintable(m_openError));
        QVERIFY(keptCopies().isEmpty());
        QCOMPARE(bytesOf(path), bytes);
        return;
    }
    // Moved aside whole, and said: which file, where it is now.
    QCOMPARE(keptCopies().size(), 1);
    const QString kept = m_dir->path() + '/' + keptCopies().first();
    const QString said = m_state->problems().join('\n');
    QVERIFY2(said.contains(file + " cannot be read") && said.contains(kept), qPrintable(said));
    QVERIFY(!QFile::exists(path));

    // What the server writes next, over that name, leaves the copy as it was.
    const QByteArray login = signInAgain();
    QCOMPARE(statusOf(login), 200);
    const QByteArray newToken = "X-CSRF-Token: " + m_csrf + "\r\n";
    QByteArray written;
    if (file == "keys.json")
        written = as("POST", "/api/keys", json({{"name", "later"}, {"scope", "send"}, {"expires", QJsonValue::Null}}),
                     newToken + kJson);
    else if (file.startsWith("schedule"))
        written = as("PUT", "/api/schedule", morning, newToken + kJson + "If-Match: \"" + scheduleVersion() + "\"\r\n");
    else if (file == "settings.json")
        written = as("PUT", "/api/board", json({{"device", "2"}}), newToken + kJson);
    else
        written = login;
    QVERIFY2(statusOf(written) / 100 == 2, written.constData());
    QVERIFY(QFile::exists(path));
    QCOMPARE(bytesOf(kept), bytes);

    // Said again at every start while the copy is kept, never over it.
    QVERIFY(restart());
    QCOMPARE(keptCopies().size(), 1);
    QVERIFY2(m_state->problems().join('\n').contains(kept), qPrintable(m_state->problems().join('\n')));
}

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
