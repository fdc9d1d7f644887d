// SPDX-License-Identifier: GPL-3.0-or-later
// The board's HTTP server against hostile requests: a forged Host, and
// requests too large, too slow or too many. Each is refused with its
// status, and the server goes on serving everyone else.
#include "httpclient.h"
#include "web/httpserver.h"

#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

QByteArray get(const QByteArray &host, const QByteArray &more = {})
{
    return "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\n" + more + "\r\n";
}

}  // namespace

class TestHttpServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refuses_data();
    void refuses();
    void boundsConnections();
    void closesWhenAsked();

private:
    BoardHttpServer::Limits m_limits;
    BoardHttpServer *m_server = nullptr;
    quint16 m_port = 0;
    int m_handled = 0;
};

void TestHttpServer::init()
{
    m_limits.requestMs = 400;
    m_limits.connections = 3;
    m_handled = 0;
    m_server = new BoardHttpServer(
        [this](const HttpRequest &request, const BoardHttpServer::Answer &answer) {
            ++m_handled;
            const HttpReply reply{200, "text/plain", request.method + ' ' + request.path.toUtf8(), {}};
            // An answer that waits on work elsewhere comes later.
            if (request.path == QLatin1String("/api/later"))
                QTimer::singleShot(50, this, [answer, reply] { answer(reply); });
            else
                answer(reply);
        },
        {QStringLiteral("localhost"), QStringLiteral("board-pi.local")}, m_limits);
    m_port = m_server->listenOn(QHostAddress::LocalHost, 0);
    QVERIFY2(m_port, qPrintable(m_server->errorString()));
}

void TestHttpServer::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestHttpServer::refuses_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("pauseMs");  // then the rest
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("says");
    const QByteArray port = QByteArray::number(0);
    QTest::newRow("its own address") << get("127.0.0.1") << 0 << QByteArray() << 200 << QByteArray("GET /api/status");
    QTest::newRow("its own name") << get("board-pi.local:8437") << 0 << QByteArray() << 200
                                  << QByteArray("GET /api/status");
    QTest::newRow("an answer that comes later") << QByteArray("GET /api/later HTTP/1.1\r\nHost: localhost\r\n\r\n") << 0
                                                << QByteArray() << 200 << QByteArray("GET /api/later");
    QTest::newRow("a forged Host (rebinding)")
        << get("attacker.example:8437") << 0 << QByteArray() << 421 << QByteArray("--host-name attacker.example");
    QTest::newRow("another address") << get("127.0.0.2") << 0 << QByteArray() << 421 << QByteArray("--host-name");
    QTest::newRow("two Hosts") << get("127.0.0.1", "Host: attacker.example\r\n") << 0 << QByteArray() << 400
                               << QByteArray("one Host");
    QTest::newRow("headers too large") << get("127.0.0.1", "X-Filler: " + QByteArray(17 * 1024, 'a') + "\r\n") << 0
                                       << QByteArray() << 431 << QByteArray("headers are too large");
    QTest::newRow("headers too large, unfinished") << "GET / HTTP/1.1\r\nX-Filler: " + QByteArray(17 * 1024, 'a') << 0
                                                   << QByteArray() << 431 << QByteArray("headers are too large");
    QTest::newRow("headers too large, in two parts")
        << "GET / HTTP/1.1\r\nX-Filler: " + QByteArray(10 * 1024, 'a') << 100 << QByteArray(10 * 1024, 'a') << 431
        << QByteArray("headers are too large");
    QTest::newRow("a body too large") << get("127.0.0.1", "Content-Length: 70000\r\n") << 0 << QByteArray() << 413
                                      << QByteArray("body is too large");
    QTest::newRow("a chunked body") << get("127.0.0.1", "Transfer-Encoding: chunked\r\n") << 0 << QByteArray() << 411
                                    << QByteArray("Content-Length");
    QTest::newRow("a length that is none")
        << get("127.0.0.1", "Content-Length: -1\r\n") << 0 << QByteArray() << 400 << QByteArray("no length");
    QTest::newRow("slow headers") << QByteArray("GET /api/status HTTP/1.1\r\nHost: 127") << 800
                                  << QByteArray(".0.0.1\r\n\r\n") << 408 << QByteArray("in time");
    QTest::newRow("a slow body") << get("127.0.0.1", "Content-Length: 10\r\n") + "12345" << 800 << QByteArray("67890")
                                 << 408 << QByteArray("in time");
}

void TestHttpServer::refuses()
{
    QFETCH(QByteArray, request);
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, rest);
    QFETCH(int, status);
    QFETCH(QByteArray, says);
    const QByteArray answer = exchange(m_port, request, pauseMs, rest);
    QVERIFY2(statusOf(answer) == status, answer.left(300).constData());
    QVERIFY2(answer.contains(says), answer.left(600).constData());
    for (const QByteArray header :
         {"Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; form-action "
          "'self'; base-uri 'none'",
          "X-Content-Type-Options: nosniff", "Referrer-Policy: same-origin", "Cache-Control: no-store"})
        QVERIFY2(answer.contains(header), answer.left(600).constData());
    // Only a request for this computer reaches a handler.
    QCOMPARE(m_handled, status == 200 ? 1 : 0);
    // And the server goes on serving.
    QCOMPARE(statusOf(exchange(m_port, get("localhost"))), 200);
}

void TestHttpServer::boundsConnections()
{
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < m_limits.connections; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, m_port);
    }
    QVERIFY(runUntil([&] { return m_server->connectionCount() == m_limits.connections; }, 5000));
    const QByteArray refused = exchange(m_port, get("localhost"));
    QVERIFY2(statusOf(refused) == 503, refused.constData());
    // Idle connections are closed after their time, and room comes back.
    QVERIFY(runUntil([&] { return m_server->connectionCount() == 0; }, 5000));
    QCOMPARE(statusOf(exchange(m_port, get("localhost"))), 200);
}

// A client that asks for the connection to close after the answer (a
// script reading to the end) gets that close at once, not at the idle limit.
void TestHttpServer::closesWhenAsked()
{
    BoardHttpServer patient(
        [](const HttpRequest &, const BoardHttpServer::Answer &answer) {
            answer({200, {}, {}, {}});
        },
        {QStringLiteral("localhost")});
    const quint16 port = patient.listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(runUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000));
    client.write("GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    QVERIFY(runUntil([&] { return answer += client.readAll(), client.state() == QAbstractSocket::UnconnectedState; },
                     5000));
    QCOMPARE(statusOf(answer), 200);
    QCOMPARE(headerOf(answer, "connection"), QByteArray("close"));
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
