// SPDX-License-Identifier: GPL-3.0-or-later
// HTTPS: the certificate and key the server is given, judged before it
// serves; the suites it agrees to; what its answers carry over TLS; the
// port that only redirects; and a handshake that never ends, which holds a
// connection only so long, and gives way to a quick one.
#include "httpclient.h"
#include "web/service.h"
#include "web/tls.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCipher>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What the server answers over TLS, the certificate taken on trust.
QByteArray exchangeTls(quint16 port, const QByteArray &request)
{
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!runUntil([&] { return client.isEncrypted(); }, 5000))
        return {};
    return answerOn(client, request);
}

}  // namespace

class TestTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void files_data();
    void files();
    void suites_data();
    void suites();
    void serves();
    void redirects_data();
    void redirects();
    void handshakeBounded();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    std::optional<QSslConfiguration> load(const QString &certificate, const QString &key, QString *error = nullptr);

    QTemporaryDir m_dir;
};

void TestTls::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("this Qt has no TLS backend");
    // Two certificates, each with its own key, and an encrypted key.
    for (const char *name : {"board", "other"}) {
        const int made = QProcess::execute(
            QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "30", "-subj",
             "/CN=board.local", "-keyout", path(QStringLiteral("%1.key").arg(name)), "-out",
             path(QStringLiteral("%1.crt").arg(name)), "-addext", "subjectAltName=DNS:board.local,IP:127.0.0.1"});
        QCOMPARE(made, 0);
    }
    QCOMPARE(QProcess::execute(QStringLiteral("openssl"), {"pkey", "-in", path("board.key"), "-aes256", "-passout",
                                                           "pass:secret", "-out", path("locked.key")}),
             0);
    for (const char *key : {"board.key", "other.key", "locked.key"})
        QVERIFY(QFile::setPermissions(path(key), QFile::ReadOwner | QFile::WriteOwner));
}

std::optional<QSslConfiguration> TestTls::load(const QString &certificate, const QString &key, QString *error)
{
    QString why;
    auto configuration = tls::load(path(certificate), path(key), error ? error : &why);
    if (!configuration)
        return std::nullopt;
    // The handshake with itself, as the server makes before serving.
    tls::Proof proof(*configuration);
    QSignalSpy done(&proof, &tls::Proof::done);
    proof.start();
    if (!done.wait(10000) || !done.first().at(0).toBool()) {
        if (error)
            *error = done.isEmpty() ? QStringLiteral("no answer") : done.first().at(1).toString();
        return std::nullopt;
    }
    return configuration;
}

void TestTls::files_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("keyMode");    // octal, as chmod takes it
    QTest::addColumn<QString>("error");  // empty: served
    QTest::newRow("the owner's alone") << "board.crt"
                                       << "board.key" << 0600 << QString();
    QTest::newRow("group-readable, as ssl-cert makes them") << "board.crt"
                                                            << "board.key" << 0640 << QString();
    QTest::newRow("readable by every user") << "board.crt"
                                            << "board.key" << 0644 << "every user of this computer";
    QTest::newRow("another certificate's key") << "board.crt"
                                               << "other.key" << 0600 << "mismatch";
    QTest::newRow("no certificate there") << "missing.crt"
                                          << "board.key" << 0600 << "missing.crt: cannot be read";
    QTest::newRow("a key where the certificate goes") << "board.key"
                                                      << "board.key" << 0600 << "no PEM certificate";
    QTest::newRow("a key behind a pass phrase") << "board.crt"
                                                << "locked.key" << 0600 << "pass phrase";
}

void TestTls::files()
{
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(int, keyMode);
    QFETCH(QString, error);
    QFile::Permissions permissions;
    for (const auto &[bit, permission] : {std::pair{0400, QFile::ReadOwner},
                                          {0200, QFile::WriteOwner},
                                          {0040, QFile::ReadGroup},
                                          {0004, QFile::ReadOther}}) {
        if (keyMode & bit)
            permissions |= permission;
    }
    QVERIFY(QFile::setPermissions(path(key), permissions));
    QString why;
    const auto configuration = load(certificate, key, &why);
    QVERIFY(QFile::setPermissions(path(key), QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(bool(configuration), error.isEmpty());
    QVERIFY2(why.contains(error), qPrintable(why));
}

void TestTls::suites_data()
{
    QTest::addColumn<int>("protocol");    // QSsl::SslProtocol
    QTest::addColumn<QString>("cipher");  // the one the client offers; empty: its own list
    QTest::addColumn<bool>("agreed");
    const int tls12 = QSsl::TlsV1_2;
    QTest::newRow("1.2, AES-CBC with SHA-1") << tls12 << "ECDHE-ECDSA-AES256-SHA" << false;
    QTest::newRow("1.2, AES-CBC with SHA-256") << tls12 << "ECDHE-ECDSA-AES128-SHA256" << false;
    QTest::newRow("1.2, AES-CBC with SHA-384") << tls12 << "ECDHE-ECDSA-AES256-SHA384" << false;
    QTest::newRow("1.2, AES-128-GCM") << tls12 << "ECDHE-ECDSA-AES128-GCM-SHA256" << true;
    QTest::newRow("1.2, AES-256-GCM") << tls12 << "ECDHE-ECDSA-AES256-GCM-SHA384" << true;
    QTest::newRow("1.2, ChaCha20-Poly1305") << tls12 << "ECDHE-ECDSA-CHACHA20-POLY1305" << true;
    QTest::newRow("1.2, the client's own list") << tls12 << QString() << true;
    QTest::newRow("1.3, the client's own list") << int(QSsl::TlsV1_3) << QString() << true;
}

void TestTls::suites()
{
    QFETCH(int, protocol);
    QFETCH(QString, cipher);
    QFETCH(bool, agreed);
    const auto configuration = load("board.crt", "board.key");
    QVERIFY(configuration);
    BoardHttpServer server(
        [](const HttpRequest &, const BoardHttpServer::Answer &a) {
            a({204, {}, {}, {}});
        },
        {QStringLiteral("localhost")});
    server.setTls(*configuration);
    const quint16 port = server.listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(port);
    QSslSocket client;
    QSslConfiguration offer = client.sslConfiguration();
    offer.setPeerVerifyMode(QSslSocket::VerifyNone);
    offer.setProtocol(QSsl::SslProtocol(protocol));
    if (!cipher.isEmpty()) {
        // Where the client cannot offer it, a refusal would prove nothing.
        const QSslCipher offered(cipher);
        QVERIFY2(!offered.isNull(), qPrintable(cipher));
        offer.setCiphers({offered});
    }
    client.setSslConfiguration(offer);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    runUntil([&] { return client.isEncrypted() || client.state() == QAbstractSocket::UnconnectedState; }, 5000);
    QVERIFY2(client.isEncrypted() == agreed,
             qPrintable(client.isEncrypted() ? QStringLiteral("agreed on ") + client.sessionCipher().name()
                                             : client.errorString()));
    if (!agreed)
        return;
    const QSslCipher used = client.sessionCipher();
    QCOMPARE(int(used.protocol()), protocol);
    if (!cipher.isEmpty())
        QCOMPARE(used.name(), cipher);
    // Whatever the client would take, the server's choice is an AEAD.
    QVERIFY2(used.encryptionMethod().contains(QLatin1String("GCM"))
                 || used.encryptionMethod().contains(QLatin1String("CHACHA20")),
             qPrintable(used.name() + QLatin1Char(' ') + used.encryptionMethod()));
    QCOMPARE(statusOf(answerOn(client, request("GET", "/"))), 204);
}

void TestTls::serves()
{
    const auto configuration = load("board.crt", "board.key");
    QVERIFY(configuration);
    QTemporaryDir state;
    StateFolder folder(state.path());
    QVERIFY(folder.open());
    Board board(folder, [] { return QStringList(); });
    QString why;
    QVERIFY2(board.open(&why), qPrintable(why));
    BoardService service(board);
    BoardHttpServer server([&](const HttpRequest &r, const BoardHttpServer::Answer &a) { service.handle(r, a); },
                           {QStringLiteral("localhost")});
    server.setTls(*configuration);
    const quint16 port = server.listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(port);
    const QByteArray body =
        QJsonDocument(QJsonObject{{"code", board.setupCodeText()}, {"name", "anna"}, {"password", "correct horse"}})
            .toJson(QJsonDocument::Compact);
    const QByteArray claimed =
        exchangeTls(port, request("POST", "/api/setup", body, "Content-Type: application/json\r\n"));
    QVERIFY2(statusOf(claimed) == 201, claimed.constData());
    // The cookie never leaves by plain HTTP, and the browser comes back by
    // HTTPS alone.
    const QList<QByteArray> flags = headerOf(claimed, "Set-Cookie").split(';');
    QVERIFY(std::any_of(flags.begin(), flags.end(), [](const QByteArray &f) { return f.trimmed() == "Secure"; }));
    QCOMPARE(headerOf(claimed, "Strict-Transport-Security"), QByteArray("max-age=31536000"));
    // Plain HTTP to the HTTPS port gets no answer, and the server serves on.
    QCOMPARE(statusOf(exchange(port, request("GET", "/api/setup"))), 0);
    QCOMPARE(statusOf(exchangeTls(port, request("GET", "/api/setup"))), 200);
}

void TestTls::redirects_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::newRow("the page") << QByteArray("GET") << QByteArray("/") << QByteArray("board.local:8080") << 301
                              << QByteArray("https://board.local:8443/");
    QTest::newRow("a path and query") << QByteArray("GET") << QByteArray("/app.js?v=2") << QByteArray("board.local")
                                      << 301 << QByteArray("https://board.local:8443/app.js?v=2");
    QTest::newRow("an IPv6 address") << QByteArray("GET") << QByteArray("/") << QByteArray("[::1]:8080") << 301
                                     << QByteArray("https://[::1]:8443/");
    QTest::newRow("a sign-in sent in clear")
        << QByteArray("POST") << QByteArray("/api/login") << QByteArray("board.local") << 403 << QByteArray();
    QTest::newRow("a stranger's name") << QByteArray("GET") << QByteArray("/") << QByteArray("evil.example") << 421
                                       << QByteArray();
}

void TestTls::redirects()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, host);
    QFETCH(int, status);
    QFETCH(QByteArray, location);
    BoardHttpServer redirector(
        [](const HttpRequest &r, const BoardHttpServer::Answer &a) { a(redirectToHttps(r, 8443)); },
        {QStringLiteral("board.local")});
    const quint16 port = redirector.listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(port);
    const QByteArray answer = exchange(port, method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    QCOMPARE(statusOf(answer), status);
    QCOMPARE(headerOf(answer, "Location"), location);
}

void TestTls::handshakeBounded()
{
    const auto configuration = load("board.crt", "board.key");
    QVERIFY(configuration);
    BoardHttpServer::Limits limits;
    limits.connections = 2;
    limits.requestMs = 2000;
    BoardHttpServer server(
        [](const HttpRequest &, const BoardHttpServer::Answer &a) {
            a({204, {}, {}, {}});
        },
        {QStringLiteral("localhost")}, limits);
    server.setTls(*configuration);
    const quint16 port = server.listenOn(QHostAddress::LocalHost, 0);
    // Two clients connect and never start a handshake: they fill the
    // limit, and a third, whose handshake is quick, takes the place of the
    // one silent longest...
    QTcpSocket idle[2];
    for (QTcpSocket &client : idle) {
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(runUntil([&] { return server.connectionCount() == int(&client - idle) + 1; }, 5000));
    }
    QCOMPARE(statusOf(exchangeTls(port, request("GET", "/"))), 204);
    QVERIFY(runUntil([&] { return idle[0].state() == QAbstractSocket::UnconnectedState; }, 5000));
    // ...and the other is closed when its time is up.
    QVERIFY(runUntil([&] { return idle[1].state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(runUntil([&] { return server.connectionCount() == 0; }, 5000));
    QCOMPARE(statusOf(exchangeTls(port, request("GET", "/"))), 204);
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
