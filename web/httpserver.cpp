// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/httpserver.h"

#include "web/requestguard.h"

#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QPointer>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return status < 400 ? "OK" : status < 500 ? "Client Error" : "Server Error";
    }
}

bool isHttps(QTcpSocket *socket) { return qobject_cast<QSslSocket *>(socket) != nullptr; }

// Ends this side's sending on the connection, and nothing more.
void shutdownSending(QTcpSocket *socket)
{
    if (socket->socketDescriptor() >= 0)
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
}

QByteArray methodName(QHttpServerRequest::Method method)
{
    const char *key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(method));
    return key ? QByteArray(key).toUpper() : QByteArray("UNKNOWN");
}

QHostAddress plainAddress(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : address;
}

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool hasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> tokens = value.split(',');
    return std::any_of(tokens.begin(), tokens.end(),
                       [&](const QByteArray &t) { return t.trimmed().compare(token, Qt::CaseInsensitive) == 0; });
}

// What is known of the request arriving on a connection, judged as its
// bytes come, before the HTTP library reads them. The HTTP library's parser
// is lenient, each in its own way: it ends a line at a bare line feed, or
// at a carriage return followed by anything, folds lines, takes the first
// of two lengths, and answers an upgrade twice. Where this adapter and that
// parser could see a request end in different places, a body could slip
// past the bounds, or a second request be hidden in the first. So the head
// of a request is held to the strict grammar, in which both can only see
// it end in the same place: every line ends in CR LF, no other control
// character, a request line of METHOD /target HTTP/1.x, header names that
// are tokens, no folded lines, at most one length and no transfer coding,
// no upgrade to another protocol, and one request at a time. Anything else
// is refused outright with 400 (or the status that says what to change),
// rather than read the way one of the two would: no browser sends it.
struct Head {
    qsizetype scanned = 0;   // bytes judged so far
    qsizetype lineEnd = -1;  // of the request line, at its CR
    qsizetype end = -1;      // just past the empty line
    bool lineJudged = false;
    qint64 length = 0;  // of the body
    bool last = false;  // the client closes the connection after this request
};

struct Verdict {
    enum { Going, Refused } is = Going;
    int status = 0;
    QByteArray why;
};

Verdict refusal(int status, const QByteArray &why) { return {Verdict::Refused, status, why}; }

Verdict judgeRequestLine(const QByteArray &line, Head &head)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || parts[0].isEmpty())
        return refusal(400, "The request's first line is not METHOD /path HTTP/1.1.");
    const QByteArray &method = parts[0], &target = parts[1], &version = parts[2];
    if (!std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return refusal(400, "The request's method is no method.");
    static const QList<QByteArray> methods{"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
    if (!methods.contains(method))
        return refusal(501, "This server does not know the method " + method + '.');
    if (!target.startsWith('/')
        || !std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return refusal(400, "The request's path is no path: it starts with / and is encoded.");
    if (version == "HTTP/1.0") {
        head.last = true;
    } else if (version != "HTTP/1.1") {
        const bool http = version.size() == 8 && version.startsWith("HTTP/") && version[6] == '.'
                          && std::isdigit(uchar(version[5])) && std::isdigit(uchar(version[7]));
        return http ? refusal(505, "This server speaks HTTP/1.1.")
                    : refusal(400, "The request's first line is not METHOD /path HTTP/1.1.");
    }
    head.lineJudged = true;
    return {};
}

Verdict judgeHeaders(const QByteArray &data, Head &head, const BoardHttpServer::Limits &limits)
{
    int lengths = 0;
    bool coded = false, upgrade = false;
    qsizetype at = head.lineEnd + 2;
    const qsizetype stop = head.end - 2;
    for (qsizetype next; at < stop; at = next + 2) {
        next = data.indexOf("\r\n", at);
        const QByteArray line = data.mid(at, next - at);
        if (line.startsWith(' ') || line.startsWith('\t'))
            return refusal(400, "The request folds a header over two lines.");
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !std::all_of(line.begin(), line.begin() + colon, isTokenChar))
            return refusal(400, "The request has a header line that is no NAME: VALUE.");
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            // Spaces may stand before and after the digits, and nothing
            // else: the HTTP library's parser takes nothing else either.
            qsizetype digits = colon + 1;
            while (digits < line.size() && (line[digits] == ' ' || line[digits] == '\t'))
                ++digits;
            qsizetype after = digits;
            while (after < line.size() && std::isdigit(uchar(line[after])))
                ++after;
            const bool spaces = std::all_of(line.begin() + after, line.end(), [](char c) { return c == ' '; });
            if (++lengths > 1)
                return refusal(400, "The request has two Content-Lengths; send one.");
            if (after == digits || after - digits > 18 || !spaces)
                return refusal(400, "The request's Content-Length is no length.");
            head.length = line.mid(digits, after - digits).toLongLong();
        } else if (name == "transfer-encoding") {
            coded = true;
        } else if (name == "upgrade") {
            upgrade = true;
        } else if (name == "connection" || name == "proxy-connection") {
            // The HTTP library's parser takes both, and reads no more
            // requests after a close.
            head.last = head.last || hasToken(value, "close");
        }
    }
    if (coded && lengths > 0)
        return refusal(400, "The request has both a Content-Length and a Transfer-Encoding; send the length alone.");
    if (coded)
        return refusal(411, "Send the request's body with a Content-Length.");
    if (upgrade)
        return refusal(400, "This server speaks HTTP/1.1 and nothing else: it does not upgrade a connection.");
    if (head.length > limits.bodyBytes)
        return refusal(413, "The request's body is too large.");
    return {};
}

// Judges `data`, all that has arrived of a request's head, of which `head`
// says what was judged before: past the head, only its length counts.
Verdict judge(const QByteArray &data, Head &head, const BoardHttpServer::Limits &limits)
{
    if (head.end < 0) {
        qsizetype i = head.scanned;
        for (; i < data.size() && head.end < 0; ++i) {
            const char c = data[i];
            if (c == '\n') {
                if (i == 0 || data[i - 1] != '\r')
                    return refusal(400, "A line of the request ends in a bare line feed; end each with CR LF.");
                if (head.lineEnd < 0)
                    head.lineEnd = i - 1;
                else if (data[i - 2] == '\n')
                    head.end = i + 1;
            } else if (c == '\r') {
                if (i + 1 == data.size())
                    break;  // judged with what follows
                if (data[i + 1] != '\n')
                    return refusal(400, "A line of the request ends in a bare carriage return; end each with CR LF.");
            } else if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f) {
                return refusal(400, "The request's head holds a control character.");
            }
        }
        head.scanned = i;
        if (head.lineEnd < 0) {
            // Garbage, or TLS on the plain port, is known by its first bytes.
            const QByteArray method = data.left(data.indexOf(' '));
            if (!std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
                return refusal(400, "The request's method is no method.");
            if (method.size() > 7)
                return refusal(501, "This server does not know that method.");
        } else if (!head.lineJudged) {
            const Verdict line = judgeRequestLine(data.left(head.lineEnd), head);
            if (line.is == Verdict::Refused)
                return line;
        }
        if ((head.end < 0 && data.size() > limits.headerBytes) || head.end - 4 > limits.headerBytes)
            return refusal(431, "The request's headers are too large.");
        if (head.end < 0)
            return {};
        return judgeHeaders(data, head, limits);
    }
    return {};
}

// An answer to HEAD is that to GET without its body: the same headers,
// Content-Length included.
QByteArray rawAnswer(int status, const HttpReply &reply, bool api, bool https, bool head = false)
{
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &[name, value] : securityHeaders(api, https))
        answer += name + ": " + value + "\r\n";
    for (const auto &[name, value] : reply.headers)
        answer += name + ": " + value + "\r\n";
    if (!reply.contentType.isEmpty())
        answer += "Content-Type: " + reply.contentType + "\r\n";
    return answer + "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n\r\n"
           + (head ? QByteArray() : reply.body);
}

QByteArray errorAnswer(int status, const QByteArray &why, bool https)
{
    return rawAnswer(status, {status, "application/json", "{\"error\":\"" + why + "\"}\n", {}}, true, https);
}

}  // namespace

// A connection as the server counts it, from its first moment to the
// close of its descriptor. A child of its socket, so that it goes with it
// whatever else the HTTP library does to the socket's signals.
class BoardHttpServer::Connection : public QObject {
public:
    enum class State {
        Waiting,   // for a whole request (or handshake): may be closed to make room
        Handling,  // its answer comes later
        Closing,   // after its last answer, or a refusal: closed first to make room
    };

    Connection(BoardHttpServer *server, QTcpSocket *socket, const QHostAddress &peer, quint64 tick)
        : QObject(socket), socket(socket), server(server), peer(peer), since(tick)
    {
        opened.start();
        timer.setSingleShot(true);
    }
    ~Connection() override
    {
        if (server)
            server->m_connections.removeOne(this);
    }
    QTcpSocket *const socket;  // its parent
    QPointer<BoardHttpServer> server;
    QHostAddress peer;
    State state = State::Waiting;
    quint64 since;  // the start of its wait for a whole request, or of its close
    QElapsedTimer opened;
    int requests = 0;
    QByteArray pending;   // what has arrived of the request, up to a little past its head
    qint64 received = 0;  // the bytes of the request that have arrived
    Head head;
    bool whole = false;    // its last request arrived whole, for the HTTP library to take
    bool drained = false;  // its last answer is out
    QTimer timer;          // for the request, or for the close
};

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key == name)
            return value;
    }
    return {};
}

QList<QPair<QByteArray, QByteArray>> securityHeaders(bool api, bool https)
{
    QList<QPair<QByteArray, QByteArray>> headers{
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; form-action 'self'; base-uri 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "same-origin"},
    };
    if (api)
        headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    // A year; not the names below this one, which are not this server's.
    if (https)
        headers.append(qMakePair(QByteArray("Strict-Transport-Security"), QByteArray("max-age=31536000")));
    return headers;
}

// Makes each connection's socket itself, so that it is bounded before the
// HTTP library, connected after it, reads from it.
class BoardHttpServer::Listener : public QTcpServer {
public:
    explicit Listener(BoardHttpServer *server) : QTcpServer(server), m_server(server) {}

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            ::close(int(handle));
            return;
        }
        if (m_server->guard(socket, handle))
            addPendingConnection(socket);
    }

private:
    BoardHttpServer *m_server;
};

// The same for HTTPS. Qt's own server counts a connection only once its
// handshake starts; here it is bounded and counted from its first moment,
// so that clients that never finish a handshake hold a connection no
// longer than a request's time, and give way to newcomers.
class BoardHttpServer::TlsListener : public QSslServer {
public:
    TlsListener(BoardHttpServer *server, const QSslConfiguration &configuration) : QSslServer(server), m_server(server)
    {
        setSslConfiguration(configuration);
        setHandshakeTimeout(server->m_limits.requestMs);
    }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            ::close(int(handle));
            return;
        }
        if (!m_server->guard(socket, handle))
            return;
        socket->setSslConfiguration(sslConfiguration());
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            const Connection *connection = m_server->connectionOf(socket);
            if (connection && connection->state == Connection::State::Waiting)
                addPendingConnection(socket);
        });
        connect(socket, &QSslSocket::errorOccurred, socket, [socket] {
            if (!socket->isEncrypted())
                socket->abort();
        });
        socket->startServerEncryption();
    }

private:
    BoardHttpServer *m_server;
};

BoardHttpServer::BoardHttpServer(Handler handler, QStringList ownNames, QObject *parent)
    : BoardHttpServer(std::move(handler), std::move(ownNames), Limits(), parent)
{
}

BoardHttpServer::BoardHttpServer(Handler handler, QStringList ownNames, const Limits &limits, QObject *parent)
    : QAbstractHttpServer(parent), m_handler(std::move(handler)), m_ownNames(std::move(ownNames)), m_limits(limits)
{
}

BoardHttpServer::~BoardHttpServer()
{
    // The listeners, and with them their sockets, while this is whole.
    qDeleteAll(findChildren<QTcpServer *>(Qt::FindDirectChildrenOnly));
}

quint16 BoardHttpServer::listenOn(const QHostAddress &address, quint16 port)
{
    QTcpServer *listener = m_tls ? static_cast<QTcpServer *>(new TlsListener(this, *m_tls)) : new Listener(this);
    if (!listener->listen(address, port)) {
        m_error = listener->errorString();
        delete listener;
        return 0;
    }
    // Out of descriptors (or at any other failure to accept), Qt stops
    // accepting for good: here, for a moment, while a descriptor may come
    // free; the connections waiting meanwhile wait in the kernel's queue,
    // holding none of this program's. Any other failure is one client's,
    // and the next is accepted at once.
    connect(listener, &QTcpServer::acceptError, listener, [this, listener](QAbstractSocket::SocketError error) {
        listener->pauseAccepting();
        const int pauseMs = error == QAbstractSocket::SocketResourceError ? m_limits.acceptPauseMs : 0;
        QTimer::singleShot(pauseMs, listener, [listener] { listener->resumeAccepting(); });
    });
    bind(listener);
    return listener->serverPort();
}

bool BoardHttpServer::trusted(const QHostAddress &peer) const
{
    return std::any_of(m_trustedProxies.begin(), m_trustedProxies.end(), [&](const QHostAddress &proxy) {
        return proxy.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4);
    });
}

BoardHttpServer::Connection *BoardHttpServer::connectionOf(QTcpSocket *socket) const
{
    for (Connection *connection : m_connections) {
        if (connection->socket == socket)
            return connection;
    }
    return nullptr;
}

BoardHttpServer::Connection *BoardHttpServer::victim(const QList<Connection *> &among) const
{
    Connection *chosen = nullptr;
    const auto rank = [](const Connection *c) { return std::pair(c->state != Connection::State::Closing, c->since); };
    for (Connection *connection : among) {
        if (connection->state != Connection::State::Handling && (!chosen || rank(connection) < rank(chosen)))
            chosen = connection;
    }
    return chosen;
}

void BoardHttpServer::drop(Connection *connection)
{
    m_connections.removeOne(connection);
    connection->state = Connection::State::Closing;
    connection->timer.stop();
    QTcpSocket *socket = connection->socket;
    socket->abort();
    socket->deleteLater();
}

// Every connection is being answered: the newcomer is told so, as well as
// may be, and closed at once, holding no descriptor past the limit.
void BoardHttpServer::turnAway(QTcpSocket *socket)
{
    if (!isHttps(socket)) {
        socket->write(
            errorAnswer(503, "The board's server has too many connections open; try again in a moment.", false));
        socket->flush();
        // What the client sent is read, lest the close be a reset that
        // throws the answer away.
        const int descriptor = int(socket->socketDescriptor());
        char sink[4096];
        for (int i = 0; i < 32 && ::recv(descriptor, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    socket->abort();
    socket->deleteLater();
}

bool BoardHttpServer::guard(QTcpSocket *socket, qintptr descriptor)
{
    const QHostAddress peer = plainAddress(socket->peerAddress());
    // One address's own connections give way to each other first.
    if (!trusted(peer)) {
        QList<Connection *> same;
        for (Connection *connection : m_connections) {
            if (connection->peer == peer)
                same << connection;
        }
        if (same.size() >= m_limits.connectionsPerAddress) {
            Connection *room = victim(same);
            if (!room) {
                turnAway(socket);
                return false;
            }
            drop(room);
        }
    }
    // A descriptor the program keeps for its files is one too many, as is
    // one past the limit. Descriptors are numbered from the lowest free, so
    // this one's number says how many are taken at least.
    rlimit files{};
    const bool scarce = m_limits.reservedDescriptors > 0 && ::getrlimit(RLIMIT_NOFILE, &files) == 0
                        && files.rlim_cur != RLIM_INFINITY
                        && rlim_t(descriptor) + rlim_t(m_limits.reservedDescriptors) >= files.rlim_cur;
    if (m_connections.size() >= m_limits.connections || scarce) {
        Connection *room = victim(m_connections);
        if (!room) {
            turnAway(socket);
            return false;
        }
        drop(room);
    }
    auto *connection = new Connection(this, socket, peer, ++m_ticks);
    m_connections.append(connection);
    connect(socket, &QTcpSocket::disconnected, connection, [this, connection] {
        m_connections.removeOne(connection);
        connection->socket->deleteLater();
    });
    // Room for the largest request that may be answered, and a byte more,
    // by which one that may not is known.
    socket->setReadBufferSize(m_limits.headerBytes + m_limits.bodyBytes + 4 + 1);
    connect(&connection->timer, &QTimer::timeout, connection, [this, connection] {
        switch (connection->state) {
        case Connection::State::Waiting:
            if ((!connection->whole && connection->received > 0) || connection->socket->bytesAvailable() > 0)
                refuse(connection, 408, "The request did not arrive whole in time.");
            else
                drop(connection);  // idle, or its answer left unread
            break;
        case Connection::State::Closing:
            drop(connection);
            break;
        case Connection::State::Handling:
            break;
        }
    });
    connection->timer.start(m_limits.requestMs);
    connect(socket, &QTcpSocket::readyRead, connection, [this, connection] { inspect(connection); });
    return true;
}

void BoardHttpServer::inspect(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    if (connection->state != Connection::State::Waiting) {
        socket->readAll();
        return;
    }
    // The HTTP library reads what arrives inside a transaction that it
    // keeps open until a request is whole: while one is open, it holds
    // what came before, and only the new bytes are left to see here. Where
    // none is open, it holds nothing: a new request begins.
    const QByteArray fresh = socket->peek(socket->bytesAvailable());
    if (socket->isTransactionStarted()) {
        // It did not take what was seen here to be a whole request.
        if (connection->whole) {
            refuse(connection, 400, "The request did not end where its head said.");
            return;
        }
    } else {
        connection->whole = false;
        connection->head = {};
        connection->pending.clear();
        connection->received = 0;
    }
    connection->received += fresh.size();
    if (connection->head.end < 0) {
        connection->pending += fresh;
        const Verdict verdict = judge(connection->pending, connection->head, m_limits);
        if (verdict.is == Verdict::Refused) {
            refuse(connection, verdict.status, verdict.why);
            return;
        }
        if (connection->head.end < 0)
            return;
        // Past its head, only the length of the body counts.
        connection->pending.clear();
    }
    const qint64 whole = connection->head.end + connection->head.length;
    if (connection->received < whole)
        return;
    // The HTTP library would read a second request in the same bytes as
    // the first, and take neither whole.
    if (connection->received > whole) {
        refuse(connection, 400, "Send one request at a time, the next after the answer to the last.");
        return;
    }
    // A whole request: the next has a time of its own, and the wait for it
    // starts now.
    connection->whole = true;
    connection->since = ++m_ticks;
    connection->timer.start(m_limits.requestMs);
}

void BoardHttpServer::refuse(Connection *connection, int status, const QByteArray &why)
{
    QTcpSocket *socket = connection->socket;
    connection->state = Connection::State::Closing;
    // Nothing of it reaches the HTTP library, which reads after this.
    socket->readAll();
    socket->write(errorAnswer(status, why, isHttps(socket)));
    closeAfterAnswer(connection);
}

void BoardHttpServer::closeAfterAnswer(Connection *connection)
{
    connection->state = Connection::State::Closing;
    connection->since = ++m_ticks;
    // The answer has a request's time to go out...
    connection->timer.start(m_limits.requestMs);
    // ...and then the close lingers: only this side's sending ends, and
    // what the client still sends is read and dropped for a moment. Closed
    // at once, the client's next write would be met with a reset, which
    // throws the answer away unread. Over TLS, the sending cannot end
    // beneath the encryption, which may still write: the answer says the
    // connection closes, and the client closes it.
    QTcpSocket *socket = connection->socket;
    const bool tls = isHttps(socket);
    const auto finish = [this, connection, socket, tls] {
        if (connection->drained || socket->bytesToWrite() > 0)
            return;
        connection->drained = true;
        if (!tls)
            shutdownSending(socket);
        connection->timer.start(m_limits.lingerMs);
    };
    connect(socket, &QTcpSocket::bytesWritten, connection, finish);
    finish();
}

void BoardHttpServer::writeAndClose(QTcpSocket *socket, const QByteArray &answer)
{
    Connection *connection = connectionOf(socket);
    if (!connection) {
        socket->abort();
        return;
    }
    socket->write(answer);
    closeAfterAnswer(connection);
}
HttpReply redirectToHttps(const HttpRequest &request, quint16 port)
{
    const QString host = hostOf(request.header("host"));
    QByteArray location = "https://" + (host.contains(QLatin1Char(':')) ? '[' + host.toUtf8() + ']' : host.toUtf8());
    if (port != 443)
        location += ':' + QByteArray::number(port);
    location += QUrl::toPercentEncoding(request.path, "/");
    if (request.method != "GET" && request.method != "HEAD") {
        return {403,
                "application/json",
                "{\"error\":\"This address only sends browsers to " + location + "; send requests there.\"}\n",
                {}};
    }
    if (!request.query.isEmpty())
        location += '?' + QUrl::toPercentEncoding(request.query, "=&");
    return {301, "text/plain; charset=utf-8", "The board's page is at " + location + "\n", {{"Location", location}}};
}

void believeProxy(HttpRequest &request, const QList<QHostAddress> &trustedProxies)
{
    const auto trusted = [&](const QHostAddress &peer) {
        return std::any_of(trustedProxies.begin(), trustedProxies.end(), [&](const QHostAddress &proxy) {
            return proxy.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4);
        });
    };
    if (!trusted(request.peer))
        return;
    // Only the last hop's entry is the proxy's own; anything before it is
    // what the client claimed. Several headers count as one list.
    QByteArray forwarded;
    for (const auto &[name, value] : request.headers) {
        if (name == "x-forwarded-for")
            forwarded += (forwarded.isEmpty() ? "" : ",") + value;
    }
    const QByteArray last = forwarded.split(',').last().trimmed();
    const QHostAddress client(QString::fromLatin1(last));
    if (!client.isNull())
        request.peer = client;
    const QByteArray proto = request.header("x-forwarded-proto").split(',').last().trimmed().toLower();
    if (proto == "https" || proto == "http")
        request.scheme = QString::fromLatin1(proto);
}

bool BoardHttpServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (Connection *connection = connectionOf(socket))
        ++connection->requests;
    HttpRequest r;
    r.method = methodName(request.method());
    r.path = request.url().path();
    r.query = request.url().query();
    int hosts = 0;
    for (const auto &[name, value] : request.headers()) {
        r.headers.append({name.toLower(), value});
        hosts += name.compare("host", Qt::CaseInsensitive) == 0 ? 1 : 0;
    }
    r.body = request.body();
    r.peer = request.remoteAddress();
    r.local = socket->localAddress();
    r.scheme = isHttps(socket) ? QStringLiteral("https") : QStringLiteral("http");
    believeProxy(r, m_trustedProxies);
    if (hosts != 1) {
        reply(request, socket, {400, "application/json", "{\"error\":\"A request names one Host.\"}\n", {}});
        return true;
    }
    const QByteArray host = r.header("host");
    if (!isOwnHost(host, r.local, m_ownNames)) {
        const QByteArray name = hostOf(host).toUtf8().toPercentEncoding("-._:[]");
        reply(request, socket,
              {421,
               "text/plain; charset=utf-8",
               "This computer does not answer to the name \"" + name
                   + "\".\nIf that is its name, add it where pelorin --serve is started: --host-name " + name + "\n",
               {}});
        return true;
    }
    // The answer is given through the HTTP library while the request is
    // being handled; after that, the library's request and responder are
    // gone, and a later answer is written to the socket, if it is still
    // there.
    struct Pending {
        bool handling = true;
        bool answered = false;
    };
    auto pending = std::make_shared<Pending>();
    const bool api = r.path.startsWith(QLatin1String("/api/"));
    const bool head = r.method == "HEAD";
    QPointer<QTcpSocket> later(socket);
    m_handler(r, [this, pending, &request, socket, later, api, head](const HttpReply &answer) {
        if (pending->answered)
            return;
        pending->answered = true;
        if (pending->handling)
            reply(request, socket, answer);
        else if (later)
            writeAndClose(later, rawAnswer(answer.status, answer, api, isHttps(later), head));
    });
    pending->handling = false;
    if (!pending->answered) {
        // Nothing more is read from the connection until the answer, for
        // which it waits as long as that takes, and it is not closed to
        // make room meanwhile.
        if (Connection *connection = connectionOf(socket)) {
            connection->state = Connection::State::Handling;
            connection->timer.stop();
        }
    }
    return true;
}

void BoardHttpServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    reply(request, socket, {404, "application/json", "{\"error\":\"There is nothing here.\"}\n", {}});
}

void BoardHttpServer::reply(const QHttpServerRequest &request, QTcpSocket *socket, const HttpReply &answer)
{
    // The HTTP library keeps every connection open; a client that asks for
    // it to close after the answer (or speaks HTTP/1.0) is waiting for that
    // close, and the library would read no more requests after it. A
    // connection's life is bounded, however often it sends: past its
    // requests or its time, its answer closes it.
    Connection *connection = connectionOf(socket);
    bool close = connection == nullptr;
    if (connection) {
        close = connection->head.last || connection->requests >= m_limits.requestsPerConnection
                || connection->opened.elapsed() >= m_limits.connectionMs;
    }
    {
        QHttpServerResponder responder = makeResponder(request, socket);
        responder.writeStatusLine(QHttpServerResponder::StatusCode(answer.status));
        const bool api = request.url().path().startsWith(QLatin1String("/api/"));
        for (const auto &[name, value] : securityHeaders(api, isHttps(socket)))
            responder.writeHeader(name, value);
        for (const auto &[name, value] : answer.headers)
            responder.writeHeader(name, value);
        if (!answer.contentType.isEmpty())
            responder.writeHeader("Content-Type", answer.contentType);
        if (close)
            responder.writeHeader("Connection", "close");
        responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
        // HEAD: the GET's headers, its length included, and no body.
        responder.writeBody(request.method() == QHttpServerRequest::Method::Head ? QByteArray() : answer.body);
    }
    if (close && connection)
        closeAfterAnswer(connection);
    else if (close)
        QMetaObject::invokeMethod(socket, &QTcpSocket::disconnectFromHost, Qt::QueuedConnection);
}
