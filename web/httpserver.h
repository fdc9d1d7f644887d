// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// A request as the server's handlers see it: plain data, so that no handler
// depends on the HTTP library, whose interface changes between Qt versions.
struct HttpRequest {
    QByteArray method;  // "GET", "PUT"...
    QString path;       // decoded, without the query
    QString query;
    QList<QPair<QByteArray, QByteArray>> headers;  // names in lower case
    QByteArray body;
    QHostAddress peer;
    QHostAddress local;  // the address the connection came in on
    QString scheme;      // "http" or "https"

    // The first value of a header, by its name in lower case.
    QByteArray header(const QByteArray &name) const;
};

struct HttpReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The board's HTTP server. Every listening socket is made here, and every
// connection is bounded before the HTTP library reads a byte of it: its
// headers, its body, its time, its requests, and how many there are at
// once, in all and from one address. A request whose end the library
// might see elsewhere than this adapter does (two lengths, a transfer
// coding, a bare line feed, an upgrade) is refused before the library
// reads it. Past a bound the client gets the fitting status and the
// connection is closed; everyone else is served on. When every connection
// is taken, a new one takes the place of the one that has waited longest
// for a whole request, so that slow clients cannot keep a quick one out. A
// request for a Host that is not this computer's own is refused before
// anything else is looked at. Every answer carries the page's security
// headers.
class BoardHttpServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    // Every bound of the server, in one place; the service's unit file
    // (LimitNOFILE=) is reckoned from these.
    struct Limits {
        qsizetype headerBytes = 16 * 1024;
        qsizetype bodyBytes = 64 * 1024;
        int requestMs = 10000;  // for a request to arrive whole, and for an idle connection
        // Sockets open at once, those that linger after a refusal or a
        // last answer included: each is a file descriptor.
        int connections = 128;
        // From one address (a trusted proxy's are not counted by address).
        // One more takes the place of that address's longest waiting.
        int connectionsPerAddress = 16;
        // A connection's life, however often it sends: after this many
        // requests, or the first answer after this time, it closes.
        int requestsPerConnection = 100;
        int connectionMs = 60000;
        // Descriptors left free for the state folder, the serial device and
        // the program's own: a connection that would take one of them is
        // treated as one too many.
        int reservedDescriptors = 64;
        // Out of descriptors all the same (accept fails with EMFILE or
        // ENFILE), the server stops accepting for this long.
        int acceptPauseMs = 1000;
        // How long a closed connection lingers once its last answer is
        // out, reading what the client still sends, lest its close throw
        // that answer away.
        int lingerMs = 2000;
    };
    // Answers a request, now or later: a handler that waits for work off
    // the event thread (a password's hash) keeps `answer` and calls it
    // once. An answer given later closes its connection after it, as the
    // HTTP library's own answer is only for the moment of the request.
    using Answer = std::function<void(const HttpReply &)>;
    using Handler = std::function<void(const HttpRequest &, Answer answer)>;

    explicit BoardHttpServer(Handler handler, QStringList ownNames, QObject *parent = nullptr);
    BoardHttpServer(Handler handler, QStringList ownNames, const Limits &limits, QObject *parent = nullptr);
    ~BoardHttpServer() override;

    // Listens on one address and port (0: any free one); the port, or 0 and
    // errorString() on failure.
    quint16 listenOn(const QHostAddress &address, quint16 port);
    // Every address listened on after this serves HTTPS with this
    // certificate and key; the handshake is part of a request's time, and
    // its connection counts toward the limits from the start.
    void setTls(const QSslConfiguration &configuration) { m_tls = configuration; }
    QString errorString() const { return m_error; }
    // Proxies whose X-Forwarded-For and X-Forwarded-Proto are believed; from
    // any other peer those headers are ignored.
    void setTrustedProxies(const QList<QHostAddress> &proxies) { m_trustedProxies = proxies; }
    // The sockets open, those lingering after their last answer included.
    int connectionCount() const { return int(m_connections.size()); }
    const Limits &limits() const { return m_limits; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    class Listener;
    class TlsListener;
    class Connection;
    // Counts and bounds a new socket, making room for it where it can; false
    // where it was turned away (and is gone).
    bool guard(QTcpSocket *socket, qintptr descriptor);
    // Of these, the one to close for a newcomer: one lingering after its
    // answer, else the one that has waited longest for a whole request (or
    // handshake); none while all are being answered.
    Connection *victim(const QList<Connection *> &among) const;
    void drop(Connection *connection);
    void turnAway(QTcpSocket *socket);
    bool trusted(const QHostAddress &peer) const;
    Connection *connectionOf(QTcpSocket *socket) const;
    // What has arrived of the request, judged before the HTTP library reads it.
    void inspect(Connection *connection);
    void refuse(Connection *connection, int status, const QByteArray &why);
    // Closes the connection once its answer is out, lingering a moment for
    // what the client still sends.
    void closeAfterAnswer(Connection *connection);
    void writeAndClose(QTcpSocket *socket, const QByteArray &answer);
    void reply(const QHttpServerRequest &request, QTcpSocket *socket, const HttpReply &reply);

    Handler m_handler;
    QStringList m_ownNames;
    QList<QHostAddress> m_trustedProxies;
    Limits m_limits;
    QList<Connection *> m_connections;
    quint64 m_ticks = 0;  // orders the connections' waits
    QString m_error;
    std::optional<QSslConfiguration> m_tls;
};

// Where a request came from, and by which scheme: the peer itself, unless
// the peer is a trusted proxy, whose own entry in X-Forwarded-For (the last)
// names the client and whose X-Forwarded-Proto names the scheme.
void believeProxy(HttpRequest &request, const QList<QHostAddress> &trustedProxies);

// What a plain-HTTP port beside HTTPS answers: a browser's visit is sent
// to the same name and path by HTTPS on `port`; anything else is refused,
// as what it sent has already crossed the network in clear.
HttpReply redirectToHttps(const HttpRequest &request, quint16 port);

// The headers that every answer of the server carries; over HTTPS, the
// browser is also told to come back by HTTPS alone.
QList<QPair<QByteArray, QByteArray>> securityHeaders(bool api, bool https);
