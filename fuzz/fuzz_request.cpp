// SPDX-License-Identifier: GPL-3.0-or-later
// Any request at all reaches the board's server as its HTTP adapter hands it
// on: the Host and Origin checks, a proxy's headers, the cookie, the routes,
// a set as JSON and a .mes file. The first byte chooses whether the request
// carries the owner's real cookie and token, so that what lies behind the
// sign-in is reached too; the rest is "METHOD PATH", header lines, an empty
// line and the body. Nothing may crash, and every refusal of the API must be
// JSON that says why.
#include "service/sessions.h"
#include "service/statefolder.h"
#include "web/httpserver.h"
#include "web/requestguard.h"
#include "web/service.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

struct Server {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<StateFolder> state;
    std::unique_ptr<Board> board;
    std::unique_ptr<BoardService> service;
    QByteArray cookie, csrf, key;
};

HttpRequest request(const QByteArray &method, const QString &path, const QByteArray &body)
{
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.body = body;
    r.peer = QHostAddress(QHostAddress::LocalHost);
    r.local = QHostAddress(QHostAddress::LocalHost);
    r.scheme = QStringLiteral("http");
    r.headers = {{"host", "127.0.0.1:8437"}, {"content-type", "application/json"}};
    return r;
}

// One server for the whole run, claimed by its owner: the one Argon2 hash
// of the run is made here, on the pool, and waited for.
Server &server()
{
    static Server s = [] {
        Server made;
        static int argc = 1;
        static char name[] = "fuzz_request";
        static char *argv[] = {name, nullptr};
        made.app = std::make_unique<QCoreApplication>(argc, argv);
        // Each save is synced: in memory, that costs nothing.
        made.folder = std::make_unique<QTemporaryDir>(
            QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fuzz_request-XXXXXX") : QString());
        made.state = std::make_unique<StateFolder>(made.folder->path());
        if (!made.state->open())
            std::abort();
        made.board = std::make_unique<Board>(*made.state, [] { return QStringList(); });
        if (QString why; !made.board->open(&why))
            std::abort();
        made.service = std::make_unique<BoardService>(*made.board);
        made.board->setDevice(made.folder->path() + QStringLiteral("/no-such-device"));
        const QByteArray setup =
            QJsonDocument(
                QJsonObject{{"code", made.board->setupCodeText()}, {"name", "owner"}, {"password", "owner's secret"}})
                .toJson();
        bool answered = false;
        made.service->handle(request("POST", QStringLiteral("/api/setup"), setup), [&](const HttpReply &reply) {
            answered = true;
            for (const auto &[name, value] : reply.headers) {
                if (name == "Set-Cookie" && value.startsWith(QByteArray(kSessionCookie) + '='))
                    made.cookie = value.split(';').first().split('=').last();
            }
        });
        while (!answered)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (made.cookie.isEmpty())
            std::abort();
        made.csrf = SessionStore::csrfToken(made.cookie);
        // A script's key, which can save sets: what only a key reaches.
        HttpRequest keys =
            request("POST", QStringLiteral("/api/keys"), R"({"name":"script","scope":"edit","expires":null})");
        keys.headers.append({"cookie", QByteArray(kSessionCookie) + "=" + made.cookie});
        keys.headers.append({"x-csrf-token", made.csrf});
        made.service->handle(keys, [&](const HttpReply &reply) {
            made.key = QJsonDocument::fromJson(reply.body).object().value(QLatin1String("key")).toString().toLatin1();
        });
        if (made.key.isEmpty())
            std::abort();
        return made;
    }();
    return s;
}

// Left out: requests that hash a password, each of which would cost an
// Argon2 hash on the pool, and those that end the run's one session or
// revoke its key, after which nothing behind them would be reached again.
bool leftOut(const HttpRequest &r)
{
    return (r.method == "POST"
            && (r.path == QLatin1String("/api/login") || r.path == QLatin1String("/api/setup")
                || r.path == QLatin1String("/api/password") || r.path == QLatin1String("/api/accounts")
                || r.path == QLatin1String("/api/logout")))
           || (r.method == "PUT" && r.path.startsWith(QLatin1String("/api/accounts/")))
           || (r.method == "POST" && r.path == QLatin1String("/api/recover"))
           || (r.method == "DELETE" && r.path.startsWith(QLatin1String("/api/devices")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    Server &s = server();
    const std::uint8_t flags = data[0];
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype end = text.indexOf("\n\n");
    const QList<QByteArray> lines = text.left(end < 0 ? text.size() : end).split('\n');
    const QList<QByteArray> first = lines.first().split(' ');

    HttpRequest r =
        request(first.value(0), QString::fromUtf8(first.value(1)), end < 0 ? QByteArray() : text.mid(end + 2));
    if (!(flags & 1))
        r.headers.clear();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            r.headers.append({lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
    }
    if (flags & 2)
        r.headers.append({"cookie", QByteArray(kSessionCookie) + "=" + s.cookie});
    if (flags & 4)
        r.headers.append({"x-csrf-token", s.csrf});
    // The key's requests come from an address of their own, which the
    // wrong keys of other inputs have not made to wait.
    if (flags & 8) {
        r.headers.append({"authorization", "Bearer " + s.key});
        r.peer = QHostAddress(QStringLiteral("127.0.0.2"));
    }
    believeProxy(r, {QHostAddress(QHostAddress::LocalHost)});

    // What the adapter judges before any handler.
    const QByteArray host = r.header("host");
    if (!isOwnHost(host, r.local, {QStringLiteral("board"), QStringLiteral("board.local")}))
        return 0;
    judgeOrigin(r.header("origin"), r.header("referer"), host, r.scheme);
    if (leftOut(r))
        return 0;

    bool answered = false;
    s.service->handle(r, [&](const HttpReply &reply) {
        answered = true;
        if (reply.status < 100 || reply.status > 599)
            std::abort();
        if (r.path.startsWith(QLatin1String("/api/")) && reply.status >= 400) {
            const QJsonObject error = QJsonDocument::fromJson(reply.body).object();
            if (error.value(QLatin1String("error")).toString().isEmpty())
                std::abort();  // a refusal that does not say why
        }
    });
    if (!answered)
        std::abort();  // only hashing answers later, and none was asked for
    return 0;
}
