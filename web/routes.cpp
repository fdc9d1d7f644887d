// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/routes.h"

#include "web/api.h"

#include <QUrl>

#include <array>

namespace {

constexpr unsigned kPeople = Person | SendKey;  // and any key

// Every route, and who may call it. The gate reads "access" and "guess";
// nothing else decides who may do what.
// clang-format off
constexpr std::array kRoutes{
    //     method    pattern                          access                  body        guess  handler              only the owner...
    Route{"GET",    "/",                             Anyone,                 Body::None, false, api::page,           ""},
    Route{"GET",    "/app.js",                       Anyone,                 Body::None, false, api::page,           ""},
    Route{"GET",    "/style.css",                    Anyone,                 Body::None, false, api::page,           ""},
    Route{"GET",    "/api/setup",                    Anyone,                 Body::None, false, api::setupState,     ""},
    Route{"POST",   "/api/setup",                    Anyone,                 Body::Json, true,  api::setup,          ""},
    Route{"POST",   "/api/login",                    Anyone,                 Body::Json, true,  api::login,          ""},
    Route{"GET",    "/api/session",                  Person,                 Body::None, false, api::session,        ""},
    Route{"POST",   "/api/logout",                   Person,                 Body::None, false, api::logout,         ""},
    Route{"POST",   "/api/password",                 Person,                 Body::Json, true,  api::changePassword, ""},
    Route{"GET",    "/api/status",                   kPeople,                Body::None, false, api::status,         ""},
    Route{"POST",   "/api/send",                     kPeople,                Body::Json, false, api::send,           ""},
    Route{"POST",   "/api/stop",                     kPeople,                Body::None, false, api::stop,           ""},
    Route{"GET",    "/api/ports",                    Person,                 Body::None, false, api::ports,          ""},
    Route{"GET",    "/api/board",                    Person,                 Body::None, false, api::getBoard,       ""},
    Route{"PUT",    "/api/board",                    Owner,                  Body::Json, false, api::putBoard,       "chooses the board's port"},
    Route{"GET",    "/api/sets",                     kPeople,                Body::None, false, api::listSets,       ""},
    Route{"GET",    "/api/sets/{}",                  Person | EditKey,       Body::None, false, api::getSet,         ""},
    Route{"PUT",    "/api/sets/{}",                  Person | EditKey,       Body::Json, false, api::putSet,         ""},
    Route{"DELETE", "/api/sets/{}",                  Person | EditKey,       Body::None, false, api::deleteSet,      ""},
    Route{"GET",    "/api/schedule",                 Person,                 Body::None, false, api::getSchedule,    ""},
    Route{"PUT",    "/api/schedule",                 Person,                 Body::Json, false, api::putSchedule,    ""},
    Route{"GET",    "/api/keys",                     Owner,                  Body::None, false, api::listKeys,       "makes and revokes keys"},
    Route{"POST",   "/api/keys",                     Owner,                  Body::Json, false, api::makeKey,        "makes and revokes keys"},
    Route{"DELETE", "/api/keys/{}",                  Owner,                  Body::None, false, api::revokeKey,      "makes and revokes keys"},
    Route{"GET",    "/api/accounts",                 Owner,                  Body::None, false, api::listAccounts,   "manages accounts"},
    Route{"POST",   "/api/accounts",                 Owner,                  Body::Json, false, api::addAccount,     "manages accounts"},
    Route{"DELETE", "/api/accounts/{}",              Owner,                  Body::None, false, api::removeAccount,  "manages accounts"},
    Route{"PUT",    "/api/accounts/{}/password",     Owner,                  Body::Json, false, api::resetPassword,  "sets another account's password"},
    Route{"GET",    "/api/devices",                  Owner,                  Body::None, false, api::listDevices,    "manages signed-in devices"},
    Route{"DELETE", "/api/devices/{}",               Owner,                  Body::None, false, api::signOutDevice,  "manages signed-in devices"},
    Route{"GET",    "/api/log",                      Owner,                  Body::None, false, api::readLog,        "reads the log"},
    Route{"GET",    "/api/review",                   Owner,                  Body::None, false, api::review,         "reviews what changed"},
    Route{"POST",   "/api/recover",                  Owner,                  Body::None, false, api::recover,        "signs everyone out"},
};
// clang-format on

// Whether `path` fits `pattern`; what each {} stood for goes to `parts`.
bool matches(const char *pattern, const QString &path, QStringList *parts)
{
    const QStringList want = QString::fromLatin1(pattern).split(QLatin1Char('/'));
    const QStringList have = path.split(QLatin1Char('/'));
    if (want.size() != have.size())
        return false;
    QStringList found;
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] == QLatin1String("{}")) {
            if (have[i].isEmpty())
                return false;
            found << QUrl::fromPercentEncoding(have[i].toUtf8());
        } else if (want[i] != have[i]) {
            return false;
        }
    }
    *parts = found;
    return true;
}

}  // namespace

std::span<const Route> routes() { return kRoutes; }

const Route *findRoute(const QByteArray &method, const QString &path, QStringList *parts, bool *pathKnown)
{
    // HEAD is the GET of the same route, judged and answered alike; the
    // HTTP server sends its answer without the body.
    const QByteArray asked = method == "HEAD" ? QByteArray("GET") : method;
    *pathKnown = false;
    for (const Route &route : kRoutes) {
        QStringList found;
        if (!matches(route.pattern, path, &found))
            continue;
        *pathKnown = true;
        if (asked == route.method) {
            *parts = found;
            return &route;
        }
    }
    return nullptr;
}

QByteArray allowedMethods(const QString &path)
{
    QByteArrayList methods;
    for (const Route &route : kRoutes) {
        QStringList found;
        if (matches(route.pattern, path, &found) && !methods.contains(route.method)) {
            methods << route.method;
            if (methods.last() == "GET")
                methods << "HEAD";
        }
    }
    return methods.join(", ");
}
