// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/httpserver.h"

#include "web/requestguard.h"

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

#include <sys/socket.h>

namespace {

const char *const kRefused = "pelorin-refused";
const char *const kDeferred = "pelorin-deferred";  // its answer comes later, and closes it
const char *const kPending = "pelorin-pending";    // the bytes of a request not yet whole
constexpr int kLingerMs = 2000;

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
    case 503:
        return "Service Unavailable";
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

}  // namespace

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
            return;
        }
        m_server->guard(socket);
        if (!socket->property(kRefused).toBool())
            addPendingConnection(socket);
    }

private:
    BoardHttpServer *m_server;
};

// The same for HTTPS. Qt's own server counts a connection only once its
// handshake starts; here it is bounded and counted from its first moment,
// so that clients that never finish a handshake hold a connection no
// longer than a request's time, and no more of them than the limit.
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
            return;
        }
        // Before a handshake, no answer could be read: the connection is
        // closed, as a full queue would.
        if (m_server->m_connections >= m_server->m_limits.connections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        socket->setSslConfiguration(sslConfiguration());
        m_server->guard(socket);
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            if (!socket->property(kRefused).toBool())
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

quint16 BoardHttpServer::listenOn(const QHostAddress &address, quint16 port)
{
    QTcpServer *listener = m_tls ? static_cast<QTcpServer *>(new TlsListener(this, *m_tls)) : new Listener(this);
    if (!listener->listen(address, port)) {
        m_error = listener->errorString();
        delete listener;
        return 0;
    }
    bind(listener);
    return listener->serverPort();
}

void BoardHttpServer::guard(QTcpSocket *socket)
{
    if (m_connections >= m_limits.connections) {
        refuse(socket, 503, "The board's server has too many connections open; try again in a moment.");
        return;
    }
    ++m_connections;
    connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // Room for the largest request that may be answered, and a byte more,
    // by which one that may not is known.
    socket->setReadBufferSize(m_limits.headerBytes + m_limits.bodyBytes + 4 + 1);
    auto *timer = new QTimer(socket);
    timer->setObjectName(QStringLiteral("request timer"));
    timer->setSingleShot(true);
    timer->setInterval(m_limits.requestMs);
    connect(timer, &QTimer::timeout, socket, [this, socket] {
        if (socket->bytesAvailable() > 0 || !socket->property(kPending).toByteArray().isEmpty())
            refuse(socket, 408, "The request did not arrive whole in time.");
        else
            socket->disconnectFromHost();
    });
    timer->start();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspect(socket); });
}

void BoardHttpServer::inspect(QTcpSocket *socket)
{
    if (socket->property(kRefused).toBool() || socket->property(kDeferred).toBool()) {
        socket->readAll();
        return;
    }
    // The HTTP library reads what arrives inside a transaction that it
    // keeps open until a request is whole: while one is open, it holds
    // what came before, and only the new bytes are left to see here.
    QByteArray data = socket->peek(socket->bytesAvailable());
    if (socket->isTransactionStarted())
        data.prepend(socket->property(kPending).toByteArray());
    socket->setProperty(kPending, data);
    const qsizetype end = data.indexOf("\r\n\r\n");
    if ((end < 0 && data.size() > m_limits.headerBytes) || end > m_limits.headerBytes) {
        refuse(socket, 431, "The request's headers are too large.");
        return;
    }
    if (end < 0)
        return;
    qint64 length = 0;
    for (const QByteArray &line : data.left(end).split('\n').mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding") {
            refuse(socket, 411, "Send the request's body with a Content-Length.");
            return;
        }
        if (name == "content-length") {
            bool ok = false;
            length = value.toLongLong(&ok);
            if (!ok || length < 0 || value.startsWith('+')) {
                refuse(socket, 400, "The request's Content-Length is no length.");
                return;
            }
        }
    }
    if (length > m_limits.bodyBytes) {
        refuse(socket, 413, "The request's body is too large.");
        return;
    }
    // A whole request: the next has a time of its own.
    if (data.size() >= end + 4 + length) {
        socket->setProperty(kPending, data.mid(end + 4 + length));
        if (auto *timer = socket->findChild<QTimer *>(QStringLiteral("request timer")))
            timer->start();
    }
}

static QByteArray rawAnswer(int status, const HttpReply &reply, bool api, bool https)
{
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &[name, value] : securityHeaders(api, https))
        answer += name + ": " + value + "\r\n";
    for (const auto &[name, value] : reply.headers)
        answer += name + ": " + value + "\r\n";
    if (!reply.contentType.isEmpty())
        answer += "Content-Type: " + reply.contentType + "\r\n";
    return answer + "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n\r\n"
           + reply.body;
}

void BoardHttpServer::refuse(QTcpSocket *socket, int status, const QByteArray &why)
{
    socket->setProperty(kRefused, true);
    // Nothing of it reaches the HTTP library, which reads after this.
    socket->readAll();
    writeAndClose(socket, rawAnswer(status, {status, "application/json", "{\"error\":\"" + why + "\"}\n", {}}, true,
                                    isHttps(socket)));
}

void BoardHttpServer::writeAndClose(QTcpSocket *socket, const QByteArray &answer)
{
    socket->setProperty(kRefused, true);
    socket->write(answer);
    // A lingering close: once the answer is out, only this side's sending
    // ends, and what the client still sends is read and dropped for a
    // moment. Closed at once, the client's next write would be met with a
    // reset, which throws the answer away unread. Over TLS, the sending
    // cannot end beneath the encryption, which may still write: the
    // answer says the connection closes, and the client closes it.
    const bool tls = isHttps(socket);
    const auto finish = [socket, tls] {
        if (socket->bytesToWrite() == 0 && !tls)
            shutdownSending(socket);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, finish);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater, Qt::UniqueConnection);
    QTimer::singleShot(kLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    finish();
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
    QPointer<QTcpSocket> later(socket);
    m_handler(r, [this, pending, &request, socket, later, api](const HttpReply &answer) {
        if (pending->answered)
            return;
        pending->answered = true;
        if (pending->handling)
            reply(request, socket, answer);
        else if (later)
            writeAndClose(later, rawAnswer(answer.status, answer, api, isHttps(later)));
    });
    pending->handling = false;
    if (!pending->answered) {
        // Nothing more is read from the connection until the answer, for
        // which it waits as long as that takes.
        socket->setProperty(kDeferred, true);
        if (auto *timer = socket->findChild<QTimer *>(QStringLiteral("request timer")))
            timer->stop();
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
    // it to close after the answer is waiting for that close.
    bool close = false;
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("connection", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &token : value.split(','))
            close = close || token.trimmed().toLower() == "close";
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
        responder.writeBody(answer.body);
    }
    // After the library is done with the request: the socket closes once
    // the answer is written.
    if (close)
        QMetaObject::invokeMethod(socket, &QTcpSocket::disconnectFromHost, Qt::QueuedConnection);
}
