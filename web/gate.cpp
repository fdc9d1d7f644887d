// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/gate.h"

#include "service/secrets.h"
#include "web/requestguard.h"

#include <QJsonDocument>

namespace {

// A browser never sends Authorization to another site by itself, so a
// request with a key is judged by the key alone.
bool changes(const HttpRequest &request) { return request.method != "GET" && request.method != "HEAD"; }

// The content types a plain form of another site can send are refused
// where JSON is expected: only a script of this page's own sends JSON.
bool isJson(const HttpRequest &request)
{
    const QByteArray type = request.header("content-type").split(';').first().trimmed().toLower();
    return type == "application/json";
}

Gate::Verdict refused(HttpReply reply) { return {nullptr, std::nullopt, std::move(reply)}; }
Gate::Verdict refused(int status, const QString &error) { return refused(errorReply(status, error)); }

QString keyScope(const KeyStore::Key &key)
{
    return key.scope == KeyStore::Scope::Edit ? QStringLiteral("send, save and delete sets, and read the status")
                                              : QStringLiteral("send sets and read the status");
}

}  // namespace

Gate::Verdict Gate::judge(const HttpRequest &request)
{
    // The route, from the table alone.
    QStringList parts;
    bool pathKnown = false;
    const Route *route = findRoute(request.method, request.path, &parts, &pathKnown);
    if (!route && pathKnown) {
        HttpReply reply = errorReply(405, QStringLiteral("%1 is not answered to %2; it is to %3.")
                                              .arg(request.path, QString::fromLatin1(request.method),
                                                   QString::fromLatin1(allowedMethods(request.path))));
        reply.headers.append({"Allow", allowedMethods(request.path)});
        return refused(reply);
    }
    if (!route)
        return refused(404, QStringLiteral("There is nothing at %1.").arg(request.path));

    // Another site's page may send a request here, with this computer's
    // cookie; it is refused by where it comes from, before anything else.
    const QByteArray authorization = request.header("authorization").trimmed();
    const bool withKey = !authorization.isEmpty();
    if (changes(request) && !withKey
        && judgeOrigin(request.header("origin"), request.header("referer"), request.header("host"), request.scheme)
               == Origin::Foreign)
        return refused(403, QStringLiteral("This request came from another page than the board's own."));

    Call call{request, {}, {}, parts, {}, false};
    call.caller.address = request.peer.toString();
    // A set's file is read as it is; every other body is a JSON object, or
    // nothing at all (a stop, a sign-out).
    const bool raw = route->body == Body::Raw
                     || (route->body == Body::Json && !parts.isEmpty() && parts.last().endsWith(QLatin1String(".mes"))
                         && request.method == "PUT");
    const bool bodiless = request.body.isEmpty() && request.header("content-type").isEmpty();
    if (route->body != Body::None && !raw && !bodiless) {
        if (!isJson(request))
            return refused(415, QStringLiteral("Send JSON, as Content-Type: application/json."));
        QJsonParseError parsed{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &parsed);
        if (parsed.error != QJsonParseError::NoError || !document.isObject())
            return refused(400, QStringLiteral("The body is no JSON object."));
        call.body = document.object();
    }

    // Who sends it. A right key is let in before the throttle, so that no
    // one's wrong guesses slow it; only a wrong one counts.
    const auto steady = m_board.clocks.steady();
    if (withKey) {
        const QDateTime now = m_board.wallTime();
        if (authorization.left(7).toLower() == "bearer ")
            call.caller.key = m_board.keys.use(authorization.mid(7).trimmed(), now);
        if (!call.caller.key) {
            if (const auto wait = m_board.throttle.waitFor(call.caller.address, steady); wait.count() > 0)
                return refused(
                    waitReply(QStringLiteral("Too many wrong keys or passwords; wait %1 s before the next."), wait));
            m_board.throttle.failed(call.caller.address, steady);
            m_board.record({}, call.caller.address, QStringLiteral("key refused"));
            HttpReply reply =
                errorReply(401, QStringLiteral("That is no key of this board's, or it has expired or been "
                                               "revoked; the owner makes keys on the board's page, and a "
                                               "script sends one as \"Authorization: Bearer KEY\"."));
            reply.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Bearer")});
            return refused(reply);
        }
        // A script that asks for the status each second must not wear out
        // a memory card: its last use is written at most so often.
        if (!m_board.keysSaved.isValid() || m_board.keysSaved.secsTo(now) >= 600) {
            m_board.saveOrSay(QStringLiteral("keys.json"), m_board.keys.toJson());
            m_board.keysSaved = now;
        }
    } else {
        call.caller.cookie = cookieValue(request, kSessionCookie);
        if (!call.caller.cookie.isEmpty()) {
            if (const SessionStore::Session *session = m_board.sessions.find(call.caller.cookie, m_board.clocks.wall()))
                if (const AccountStore::Account *account = m_board.accounts.find(session->account))
                    call.caller.account = *account;
        }
    }

    // A change by a signed-in page carries the token only its own scripts
    // can read.
    const bool bySession = call.caller.account.has_value();
    if (bySession && changes(request) && route->access != Anyone
        && !SessionStore::csrfMatches(call.caller.cookie, request.header("x-csrf-token")))
        return refused(403, QStringLiteral("This page's sign-in has changed; reload the page."));

    // A try at a password: each address is slowed on its own, and an
    // account being guessed at holds back every browser but those that
    // signed in to it before. A setup code is the way in for whoever has
    // neither, so only its address, and its own count of tries, bound it.
    if (route->guess) {
        if (request.path == QLatin1String("/api/password")) {
            if (bySession)
                call.guessed = call.caller.account->name;
        } else if (request.path == QLatin1String("/api/login")) {
            const AccountStore::Account *account =
                m_board.accounts.find(call.body.value(QLatin1String("name")).toString());
            if (account)
                call.guessed = account->name;
        }
        call.trusted = m_board.devices.trusted(deviceCookie(request), call.guessed, steady);
        if (!call.trusted) {
            if (const auto wait = m_board.throttle.waitFor(call.caller.address, steady); wait.count() > 0)
                return refused(
                    waitReply(QStringLiteral("Too many failed tries from here; wait %1 s before the next."), wait));
            if (!call.guessed.isEmpty()) {
                if (const auto wait = m_board.throttle.heldBack(call.guessed, steady); wait.count() > 0) {
                    HttpReply reply = waitReply(
                        QStringLiteral("Someone is guessing at this account's password, so it signs in for %1 s "
                                       "more only from a device that has signed in to it before. Use such a "
                                       "device, or ask whoever runs this computer for a setup code (pelorin "
                                       "--serve --setup-code --account NAME)."),
                        wait);
                    return refused(reply);
                }
            }
        }
    }

    // Whether the route is for such a caller. A key is for a script's few
    // routes alone: it never signs anyone in.
    if (const auto &key = call.caller.key) {
        const bool may =
            (route->access & SendKey) || ((route->access & EditKey) && key->scope == KeyStore::Scope::Edit);
        if (!may)
            return refused(403, QStringLiteral("The key \"%1\" may %2; the rest needs a person's sign-in.")
                                    .arg(key->name, keyScope(*key)));
        return {route, std::move(call), {}};
    }
    if (route->access == Anyone)
        return {route, std::move(call), {}};
    if (!bySession)
        return refused(401, QStringLiteral("Sign in first."));
    if (!(route->access & Person) && !call.caller.owner())
        return refused(403, QStringLiteral("Only the owner %1.").arg(QLatin1String(route->ownersOnly)));
    return {route, std::move(call), {}};
}
