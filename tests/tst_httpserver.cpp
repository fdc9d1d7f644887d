// SPDX-License-Identifier: GPL-3.0-or-later
// The board's HTTP server against hostile requests: a forged Host, requests
// too large, too slow or too many, and requests whose end the HTTP library
// might see elsewhere than the server's bounds do. Each is refused with its
// status, and the server goes on serving everyone else. And against hostile
// connections: many from one address, slow ones from many, ones that never
// stop sending, refusals left lingering, and a program out of descriptors.
#include "httpclient.h"
#include "web/httpserver.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

QByteArray get(const QByteArray &host, const QByteArray &more = {})
{
    return "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\n" + more + "\r\n";
}

// A client from another loopback address (Linux routes all of 127/8 to
// lo), for the bounds that count by address.
std::unique_ptr<QTcpSocket> connectFrom(const char *from, quint16 port)
{
    auto client = std::make_unique<QTcpSocket>();
    client->bind(QHostAddress(QString::fromLatin1(from)), 0);
    client->connectToHost(QHostAddress::LocalHost, port);
    runUntil([&] { return client->state() == QAbstractSocket::ConnectedState || client->bytesAvailable() > 0; }, 5000);
    return client;
}

// A client as bare as a hostile one: it never closes by itself, not even
// once the server has ended its sending, so that what the server holds
// open is what the server chose to.
class RawClient {
public:
    RawClient(const char *from, quint16 port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, from, &address.sin_addr);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        address.sin_port = htons(port);
        // On loopback the kernel completes the connection before the
        // server accepts it.
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        fcntl(m_fd, F_SETFL, O_NONBLOCK);
    }
    ~RawClient() { ::close(m_fd); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return m_connected; }
    void send(const QByteArray &bytes)
    {
        QCOMPARE(::send(m_fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL), bytes.size());
    }
    // Reads what has come; whether the server has ended its sending (or
    // reset the connection) since.
    bool ended()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_received.append(buffer, n);
                continue;
            }
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }
    // Whether the server has closed the connection for good, not only ended
    // its sending: a byte sent then is met with a reset.
    bool reset()
    {
        if (::send(m_fd, "\r", 1, MSG_NOSIGNAL) < 0)
            return true;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0)
                continue;
            return n < 0 && errno == ECONNRESET;
        }
    }
    const QByteArray &received() const { return m_received; }

private:
    int m_fd;
    bool m_connected = false;
    QByteArray m_received;
};

// Each whole answer in `stream`, in order.
QList<QByteArray> answersIn(QByteArray stream)
{
    QList<QByteArray> answers;
    for (qsizetype end; (end = stream.indexOf("\r\n\r\n")) >= 0;) {
        const qsizetype length = headerOf(stream, "content-length").toLongLong();
        answers << stream.left(end + 4 + length);
        stream = stream.mid(end + 4 + length);
    }
    return answers;
}

}  // namespace

class TestHttpServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refuses_data();
    void refuses();
    void framing_data();
    void framing();
    void boundsConnections();
    void closesWhenAsked();
    void boundsOneAddress();
    void makesRoomAtTheTotal_data();
    void makesRoomAtTheTotal();
    void turnsAwayWhileAllAreAnswered_data();
    void turnsAwayWhileAllAreAnswered();
    void boundsALife_data();
    void boundsALife();
    void countsLingeringRefusals();
    void keepsDescriptorsForFiles();
    void pausesWhenOutOfDescriptors();

private:
    // A server with these limits, whose handler answers at once, or, for
    // /api/hold, when told to.
    std::unique_ptr<BoardHttpServer> serverWith(const BoardHttpServer::Limits &limits, quint16 *port);

    BoardHttpServer::Limits m_limits;
    BoardHttpServer *m_server = nullptr;
    quint16 m_port = 0;
    int m_handled = 0;
    QList<BoardHttpServer::Answer> m_held;
};

void TestHttpServer::init()
{
    // No request, however hostile, makes the HTTP library write a line to
    // the journal.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    m_limits = {};
    m_limits.requestMs = 400;
    m_limits.connections = 3;
    m_handled = 0;
    m_held.clear();
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

std::unique_ptr<BoardHttpServer> TestHttpServer::serverWith(const BoardHttpServer::Limits &limits, quint16 *port)
{
    auto server = std::make_unique<BoardHttpServer>(
        [this](const HttpRequest &request, const BoardHttpServer::Answer &answer) {
            if (request.path == QLatin1String("/api/hold"))
                m_held << answer;
            else
                answer({200, "text/plain", request.method + ' ' + request.path.toUtf8(), {}});
        },
        QStringList{QStringLiteral("localhost")}, limits);
    *port = server->listenOn(QHostAddress::LocalHost, 0);
    return server;
}

void TestHttpServer::refuses_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("pauseMs");  // then the rest
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("says");
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

// Requests whose end the HTTP library's lenient parser could see elsewhere
// than the server's bounds do. Each gets one answer: refused before the
// library reads a byte of it, or served, and then the next request on the
// same connection is answered once too, so that both saw it end in the
// same place. And the server serves the next client.
void TestHttpServer::framing_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray host = "Host: localhost\r\n";
    const auto post = [&](const QByteArray &headers, const QByteArray &body) {
        return "POST /api/status HTTP/1.1\r\n" + host + headers + "\r\n" + body;
    };
    // Seen against the real server: the bounds took the last length, the
    // library the first, and 70 KB reached the service.
    QTest::newRow("two lengths that differ")
        << post("Content-Length: 70028\r\nContent-Length: 0\r\n", QByteArray(1000, 'x')) << 400;
    QTest::newRow("two lengths, the small first") << post("Content-Length: 0\r\nContent-Length: 5\r\n", "hello") << 400;
    QTest::newRow("two lengths alike") << post("Content-Length: 5\r\nContent-Length: 5\r\n", "hello") << 400;
    QTest::newRow("two lengths in one") << post("Content-Length: 5, 5\r\n", "hello") << 400;
    QTest::newRow("a length with a sign") << post("Content-Length: +5\r\n", "hello") << 400;
    QTest::newRow("a length and a tab") << post("Content-Length: 5\t\r\n", "hello") << 400;
    QTest::newRow("a length and a transfer coding")
        << post("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n") << 400;
    QTest::newRow("a transfer coding and a length")
        << post("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", "0\r\n\r\n") << 400;
    QTest::newRow("a transfer coding, oddly spelled") << post("transfer-encoding:  Chunked \r\n", "0\r\n\r\n") << 411;
    QTest::newRow("a transfer coding of identity") << post("Transfer-Encoding: identity\r\n", "hello") << 411;
    // Seen: the bounds did not see these heads end, and a chunked body
    // reached the service.
    QTest::newRow("lines ended by bare line feeds")
        << QByteArray("POST /api/status HTTP/1.1\nHost: localhost\nTransfer-Encoding: chunked\n\n0\n\n") << 400;
    QTest::newRow("a head ended by a bare line feed")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: localhost\r\n\n") << 400;
    QTest::newRow("one line ended by a bare line feed")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: localhost\nX-Other: 1\r\n\r\n") << 400;
    QTest::newRow("a request line ended by a bare line feed")
        << QByteArray("GET /api/status HTTP/1.1\nHost: localhost\r\n\r\n") << 400;
    QTest::newRow("a line ended by a bare carriage return")
        << post("X-Other: a\rContent-Length: 5\r\n", "hello") << 400;
    QTest::newRow("a folded header") << post("X-Other: a\r\n Content-Length: 5\r\n", "hello") << 400;
    QTest::newRow("a space before the colon") << post("Content-Length : 5\r\n", "hello") << 400;
    QTest::newRow("a header with no colon") << post("Content-Length 5\r\n", "hello") << 400;
    QTest::newRow("a control character") << post(QByteArray("X-Other: a\x01z\r\n"), {}) << 400;
    QTest::newRow("a NUL in the path") << "GET /api/st" + QByteArray(1, '\0') + "atus HTTP/1.1\r\n" + host + "\r\n"
                                       << 400;
    // Seen: 200 and then 404 for one request, and a line in the journal.
    QTest::newRow("an upgrade to WebSocket")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        << 400;
    QTest::newRow("an upgrade to HTTP/2")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade, HTTP2-Settings\r\n"
                      "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAARAAAAAAAIAAAAA\r\n\r\n")
        << 400;
    QTest::newRow("an upgrade without Connection")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n\r\n") << 400;
    QTest::newRow("CONNECT") << QByteArray("CONNECT localhost:443 HTTP/1.1\r\nHost: localhost:443\r\n\r\n") << 501;
    QTest::newRow("an unknown method") << QByteArray("BREW /api/status HTTP/1.1\r\n" + host + "\r\n") << 501;
    QTest::newRow("a method in lower case") << QByteArray("get /api/status HTTP/1.1\r\n" + host + "\r\n") << 400;
    QTest::newRow("HTTP/2.0") << QByteArray("GET /api/status HTTP/2.0\r\n" + host + "\r\n") << 505;
    QTest::newRow("no version") << QByteArray("GET /api/status\r\n" + host + "\r\n") << 400;
    QTest::newRow("a space in the path") << QByteArray("GET /api/st atus HTTP/1.1\r\n" + host + "\r\n") << 400;
    QTest::newRow("a whole address as the path")
        << QByteArray("GET http://localhost/api/status HTTP/1.1\r\n" + host + "\r\n") << 400;
    QTest::newRow("an empty line first") << QByteArray("\r\nGET /api/status HTTP/1.1\r\n" + host + "\r\n") << 400;
    QTest::newRow("TLS on the plain port") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) << 400;
    QTest::newRow("two requests at once") << get("localhost") + get("localhost") << 400;
    QTest::newRow("a body longer than its length") << post("Content-Length: 2\r\n", "hello") << 400;
    QTest::newRow("a body and a request") << post("Content-Length: 5\r\n", "hello") + get("localhost") << 400;
    // What the server serves, and then serves the next request after.
    QTest::newRow("a body of its length") << post("Content-Length: 5\r\n", "hello") << 200;
    QTest::newRow("an empty body") << post("Content-Length: 0\r\n", {}) << 200;
    QTest::newRow("a length with spaces") << post("Content-Length:   5  \r\n", "hello") << 200;
    QTest::newRow("Connection: Upgrade alone") << get("localhost", "Connection: Upgrade\r\n") << 200;
    QTest::newRow("a header's value in UTF-8") << get("localhost", "X-Name: Zo\xc3\xab\r\n") << 200;
    QTest::newRow("a query and a fragment")
        << QByteArray("GET /api/status?a=1&b=%20#top HTTP/1.1\r\n" + host + "\r\n") << 200;
}

void TestHttpServer::framing()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(runUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000));
    client.write(request);
    QByteArray stream;
    const auto read = [&] { return stream += client.readAll(), answersIn(stream).size(); };
    if (status == 200) {
        QVERIFY2(runUntil([&] { return read() >= 1; }, 5000), stream.constData());
        QCOMPARE(m_handled, 1);
        // The next request on the connection, answered once.
        client.write(get("localhost"));
        QVERIFY2(runUntil([&] { return read() >= 2; }, 5000), stream.constData());
        QVERIFY(!runUntil([&] { return read() > 2; }, 200));
        QCOMPARE(m_handled, 2);
        for (const QByteArray &answer : answersIn(stream))
            QVERIFY2(statusOf(answer) == 200, stream.constData());
    } else {
        // Refused, and the connection closed after one answer.
        QVERIFY2(runUntil([&] { return read(), client.state() == QAbstractSocket::UnconnectedState; }, 5000),
                 stream.constData());
        const QList<QByteArray> answers = answersIn(stream);
        QVERIFY2(answers.size() == 1, stream.constData());
        QVERIFY2(statusOf(answers[0]) == status, stream.constData());
        QVERIFY2(bodyOf(answers[0]).startsWith("{\"error\":"), stream.constData());
        QCOMPARE(headerOf(answers[0], "connection"), QByteArray("close"));
        QCOMPARE(m_handled, 0);
    }
    QCOMPARE(statusOf(exchange(m_port, get("localhost"))), 200);
}

void TestHttpServer::boundsConnections()
{
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < m_limits.connections; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(runUntil([&] { return m_server->connectionCount() == i + 1; }, 5000));
    }
    // A newcomer takes the place of the one idle longest...
    QCOMPARE(statusOf(exchange(m_port, get("localhost"))), 200);
    QVERIFY(runUntil([&] { return idle[0]->state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(m_server->connectionCount() <= m_limits.connections);
    // ...and idle connections are closed after their time.
    QVERIFY(runUntil([&] { return m_server->connectionCount() == 0; }, 5000));
    for (const auto &client : idle)
        QVERIFY(runUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }, 5000));
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
    for (const QByteArray &request : {QByteArray("GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"),
                                      QByteArray("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n")}) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(runUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000));
        client.write(request);
        QByteArray answer;
        QVERIFY(runUntil(
            [&] { return answer += client.readAll(), client.state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(statusOf(answer), 200);
        QCOMPARE(headerOf(answer, "connection"), QByteArray("close"));
    }
}

// One address holds no more than its share: its next connection takes the
// place of its own that has waited longest, not another address's.
void TestHttpServer::boundsOneAddress()
{
    BoardHttpServer::Limits limits;
    limits.connections = 8;
    limits.connectionsPerAddress = 2;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    RawClient first("127.0.0.2", port);
    QVERIFY(runUntil([&] { return server->connectionCount() == 1; }, 5000));
    RawClient second("127.0.0.2", port);
    RawClient other("127.0.0.3", port);
    QVERIFY(runUntil([&] { return server->connectionCount() == 3; }, 5000));
    const auto third = connectFrom("127.0.0.2", port);
    QCOMPARE(statusOf(answerOn(*third, get("localhost"))), 200);
    QVERIFY(runUntil([&] { return first.ended(); }, 5000));
    QVERIFY(!second.ended());
    QVERIFY(!other.ended());
    QCOMPARE(server->connectionCount(), 3);
}

// When every connection is taken, by slow clients from as many addresses,
// a quick client still gets in: it takes the place of the one that has
// waited longest for a whole request.
void TestHttpServer::makesRoomAtTheTotal_data()
{
    QTest::addColumn<QByteArray>("slow");  // what each slow client sends, and then nothing
    QTest::newRow("silent") << QByteArray();
    QTest::newRow("half a head (slowloris)") << QByteArray("GET /api/status HTTP/1.1\r\nHost: local");
    QTest::newRow("half a body") << QByteArray("PUT /api/status HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n"
                                               "\r\n12345");
    QTest::newRow("idle after an answer (keep-alive)") << get("localhost");
}

void TestHttpServer::makesRoomAtTheTotal()
{
    QFETCH(QByteArray, slow);
    BoardHttpServer::Limits limits;
    limits.connections = 4;
    limits.connectionsPerAddress = 2;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    std::vector<std::unique_ptr<RawClient>> slowClients;
    for (int i = 0; i < limits.connections; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(10 + i);
        slowClients.push_back(std::make_unique<RawClient>(from.constData(), port));
        RawClient &client = *slowClients.back();
        QVERIFY(client.connected());
        QVERIFY(runUntil([&] { return server->connectionCount() == i + 1; }, 5000));
        if (!slow.isEmpty())
            client.send(slow);
        if (slow.endsWith("\r\n\r\n"))
            QVERIFY(runUntil([&] { return client.ended(), answersIn(client.received()).size() == 1; }, 5000));
    }
    const auto quick = connectFrom("127.0.0.2", port);
    QCOMPARE(statusOf(answerOn(*quick, get("localhost"))), 200);
    QVERIFY(runUntil([&] { return slowClients[0]->ended(); }, 5000));
    for (std::size_t i = 1; i < slowClients.size(); ++i)
        QVERIFY(!slowClients[i]->ended());
    QCOMPARE(server->connectionCount(), limits.connections);
    // And again, while the first quick one waits for its next request.
    const auto next = connectFrom("127.0.0.3", port);
    QCOMPARE(statusOf(answerOn(*next, get("localhost"))), 200);
    QVERIFY(runUntil([&] { return slowClients[1]->ended(); }, 5000));
}

// While every connection is being answered, none can give way: a newcomer
// is told so and closed, and the server serves again once they are answered.
void TestHttpServer::turnsAwayWhileAllAreAnswered_data()
{
    QTest::addColumn<QStringList>("holders");  // the addresses of those being answered
    QTest::addColumn<QString>("newcomer");
    QTest::addColumn<QString>("neighbour");  // served meanwhile, if any
    QTest::newRow("at the total") << QStringList{"127.0.0.2", "127.0.0.3", "127.0.0.4"} << "127.0.0.5" << QString();
    QTest::newRow("at an address's limit")
        << QStringList{"127.0.0.2", "127.0.0.2"} << "127.0.0.2" << QStringLiteral("127.0.0.3");
}

void TestHttpServer::turnsAwayWhileAllAreAnswered()
{
    QFETCH(QStringList, holders);
    QFETCH(QString, newcomer);
    QFETCH(QString, neighbour);
    BoardHttpServer::Limits limits;
    limits.connections = 3;
    limits.connectionsPerAddress = 2;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (const QString &from : holders) {
        held.push_back(connectFrom(qPrintable(from), port));
        held.back()->write("GET /api/hold HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QVERIFY(runUntil([&] { return m_held.size() == int(held.size()); }, 5000));
    }
    // The newcomer is told before it asks.
    const auto turned = connectFrom(qPrintable(newcomer), port);
    QByteArray answer;
    QVERIFY(runUntil([&] { return answer += turned->readAll(), turned->state() == QAbstractSocket::UnconnectedState; },
                     5000));
    QVERIFY2(statusOf(answer) == 503, answer.constData());
    QVERIFY2(answer.contains("too many connections"), answer.constData());
    QCOMPARE(server->connectionCount(), int(holders.size()));
    if (!neighbour.isEmpty()) {
        const auto served = connectFrom(qPrintable(neighbour), port);
        QCOMPARE(statusOf(answerOn(*served, get("localhost"))), 200);
    }
    for (const BoardHttpServer::Answer &hold : std::as_const(m_held))
        hold({200, "text/plain", "held", {}});
    for (const auto &client : held) {
        QByteArray heldAnswer;
        QVERIFY(runUntil([&] { return heldAnswer += client->readAll(), statusOf(heldAnswer) != 0; }, 5000));
        QCOMPARE(statusOf(heldAnswer), 200);
    }
    QCOMPARE(statusOf(exchange(port, get("localhost"))), 200);
}

// However often a client sends, its connection closes after so many
// requests, or after the first answer past its time.
void TestHttpServer::boundsALife_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("lifeMs");
    QTest::addColumn<int>("pauseMs");  // before each request after the first
    QTest::addColumn<int>("last");     // the answer that closes it, from 1
    QTest::newRow("after its requests") << 3 << 600000 << 0 << 3;
    // The time is the least the program promises: the answer after it closes.
    QTest::newRow("after its time") << 100 << 2000 << 2500 << 2;
}

void TestHttpServer::boundsALife()
{
    QFETCH(int, requests);
    QFETCH(int, lifeMs);
    QFETCH(int, pauseMs);
    QFETCH(int, last);
    BoardHttpServer::Limits limits;
    limits.requestsPerConnection = requests;
    limits.connectionMs = lifeMs;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(runUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000));
    for (int i = 1; i <= last; ++i) {
        if (i > 1 && pauseMs > 0)
            runUntil([] { return false; }, pauseMs);
        const QByteArray answer = answerOn(client, get("localhost"));
        QCOMPARE(statusOf(answer), 200);
        // Before its time, as far as a busy machine lets that be known.
        if (i == last)
            QCOMPARE(headerOf(answer, "connection"), QByteArray("close"));
        else if (pauseMs == 0)
            QCOMPARE(headerOf(answer, "connection"), QByteArray());
    }
    QVERIFY(runUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(runUntil([&] { return server->connectionCount() == 0; }, 5000));
}

// A refused connection lingers after its answer, reading what the client
// still sends: while it does, it counts against the limits, and gives way
// first to a newcomer.
void TestHttpServer::countsLingeringRefusals()
{
    BoardHttpServer::Limits limits;
    limits.connections = 3;
    limits.lingerMs = 600000;  // for as long as the test looks
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    std::vector<std::unique_ptr<RawClient>> refused;
    for (int i = 0; i < limits.connections; ++i) {
        const QByteArray from = "127.0.0." + QByteArray::number(10 + i);
        refused.push_back(std::make_unique<RawClient>(from.constData(), port));
        QVERIFY(runUntil([&] { return server->connectionCount() == i + 1; }, 5000));
        refused.back()->send("GET /api/status HTTP/1.1\nHost: localhost\n\n");
        QVERIFY(runUntil([&] { return refused.back()->ended(); }, 5000));
        QCOMPARE(statusOf(refused.back()->received()), 400);
    }
    // Answered, and still held open.
    QCOMPARE(server->connectionCount(), limits.connections);
    const auto quick = connectFrom("127.0.0.2", port);
    QCOMPARE(statusOf(answerOn(*quick, get("localhost"))), 200);
    QCOMPARE(server->connectionCount(), limits.connections);
    QVERIFY(runUntil([&] { return refused[0]->reset(); }, 5000));
    QVERIFY(!refused[1]->reset());
    QVERIFY(!refused[2]->reset());
}

// A connection that would take one of the descriptors kept for the state
// folder is one too many.
void TestHttpServer::keepsDescriptorsForFiles()
{
    BoardHttpServer::Limits limits;
    limits.reservedDescriptors = 1 << 30;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    const auto client = connectFrom("127.0.0.1", port);
    QByteArray answer;
    QVERIFY(runUntil([&] { return answer += client->readAll(), client->state() == QAbstractSocket::UnconnectedState; },
                     5000));
    QVERIFY2(statusOf(answer) == 503, answer.constData());
    QCOMPARE(server->connectionCount(), 0);
}

// Out of descriptors all the same, the server stops accepting for a
// moment, not for good, and serves the client that waited meanwhile.
void TestHttpServer::pausesWhenOutOfDescriptors()
{
    BoardHttpServer::Limits limits;
    limits.reservedDescriptors = 0;
    limits.acceptPauseMs = 300;
    quint16 port = 0;
    const auto server = serverWith(limits, &port);
    QVERIFY(port);
    // Counted by a plain function: while every descriptor is taken, the
    // sanitizers cannot check a new type (they test memory with a pipe).
    int failed = 0;
    connect(server->servers().constFirst(), &QTcpServer::acceptError, this, [&failed] { ++failed; });
    // Few descriptors to take, where the limit is high...
    rlimit files{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
    const rlimit before = files;
    files.rlim_cur = std::min<rlim_t>(files.rlim_cur, 512);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &files), 0);
    const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &before); });
    // ...and every one taken but one, which the client's socket takes.
    const int null = ::open("/dev/null", O_RDONLY);
    QVERIFY(null >= 0);
    std::vector<int> taken{null};
    for (int fd; (fd = ::dup(null)) >= 0;)
        taken.push_back(fd);
    QCOMPARE(errno, EMFILE);
    QVERIFY(taken.size() > 1);
    ::close(taken.back());
    taken.pop_back();
    RawClient client("127.0.0.1", port);
    const bool connected = client.connected();
    if (connected)
        client.send(get("localhost"));
    const bool refusedToAccept = runUntil([&] { return failed >= 2; }, 5000);
    for (int fd : taken)
        ::close(fd);
    QVERIFY(connected);
    QVERIFY(refusedToAccept);
    QVERIFY(runUntil([&] { return client.ended() || answersIn(client.received()).size() == 1; }, 5000));
    QCOMPARE(statusOf(client.received()), 200);
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
