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
// headers, its body, its time, and how many there are at once. Past a
// bound the client gets the fitting status and the connection is closed;
// everyone else is served on. A request for a Host that is not this
// computer's own is refused before anything else is looked at. Every answer
// carries the page's security headers.
class BoardHttpServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    struct Limits {
        qsizetype headerBytes = 16 * 1024;
        qsizetype bodyBytes = 64 * 1024;
        int requestMs = 10000;  // for a request to arrive whole, and for an idle connection
        int connections = 128;
    };
    // Answers a request, now or later: a handler that waits for work off
    // the event thread (a password's hash) keeps `answer` and calls it
    // once. An answer given later closes its connection after it, as the
    // HTTP library's own answer is only for the moment of the request.
    using Answer = std::function<void(const HttpReply &)>;
    using Handler = std::function<void(const HttpRequest &, Answer answer)>;

    explicit BoardHttpServer(Handler handler, QStringList ownNames, QObject *parent = nullptr);
    BoardHttpServer(Handler handler, QStringList ownNames, const Limits &limits, QObject *parent = nullptr);

    // Listens on one address and port (0: any free one); the port, or 0 and
    // errorString() on failure.
    quint16 listenOn(const QHostAddress &address, quint16 port);
    // Every address listened on after this serves HTTPS with this
    // certificate and key; the handshake is part of a request's time, and
    // its connection counts toward the limit from the start.
    void setTls(const QSslConfiguration &configuration) { m_tls = configuration; }
    QString errorString() const { return m_error; }
    // Proxies whose X-Forwarded-For and X-Forwarded-Proto are believed; from
    // any other peer those headers are ignored.
    void setTrustedProxies(const QList<QHostAddress> &proxies) { m_trustedProxies = proxies; }
    int connectionCount() const { return m_connections; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    class Listener;
    class TlsListener;
    void guard(QTcpSocket *socket);
    // A whole request is waiting in the socket, or the socket was refused.
    void inspect(QTcpSocket *socket);
    void refuse(QTcpSocket *socket, int status, const QByteArray &why);
    // Writes an answer straight to the socket and closes the connection
    // after it, lingering for what the client still sends.
    void writeAndClose(QTcpSocket *socket, const QByteArray &answer);
    void reply(const QHttpServerRequest &request, QTcpSocket *socket, const HttpReply &reply);

    Handler m_handler;
    QStringList m_ownNames;
    QList<QHostAddress> m_trustedProxies;
    Limits m_limits;
    int m_connections = 0;
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
