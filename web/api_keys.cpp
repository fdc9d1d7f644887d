// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

#include <QJsonArray>

namespace {

QJsonValue local(const Board &board, const QDateTime &when)
{
    return when.isValid() ? QJsonValue(when.toTimeZone(board.clocks.zone).toString(Qt::ISODate)) : QJsonValue();
}

// The last day a key works, as it was given.
QJsonValue lastDay(const Board &board, const QDateTime &expires)
{
    return expires.isValid()
               ? QJsonValue(expires.addSecs(-1).toTimeZone(board.clocks.zone).date().toString(Qt::ISODate))
               : QJsonValue();
}

}  // namespace

namespace api {

void listKeys(Board &board, const Call &, const Answer &answer)
{
    QJsonArray list;
    for (const KeyStore::Key &k : board.keys.keys()) {
        list.append(QJsonObject{{"name", k.name},
                                {"scope", KeyStore::scopeName(k.scope)},
                                {"made", local(board, k.made)},
                                {"expires", lastDay(board, k.expires)},
                                {"last_used", local(board, k.lastUsed)}});
    }
    answer(jsonReply(200, list));
}

void makeKey(Board &board, const Call &call, const Answer &answer)
{
    const QString name = call.body.value(QLatin1String("name")).toString();
    const auto scope = KeyStore::scopeNamed(call.body.value(QLatin1String("scope")).toString());
    const QJsonValue expiresValue = call.body.value(QLatin1String("expires"));
    const QDateTime now = board.wallTime();
    // A key works to the end of the day it expires on, in local time.
    QDateTime expires;
    if (!expiresValue.isNull()) {
        const QDate date = QDate::fromString(expiresValue.toString(), QStringLiteral("yyyy-MM-dd"));
        if (date.isValid())
            expires = schedule::instant(date.addDays(1), QTime(0, 0), board.clocks.zone);
        if (!expires.isValid() || expires <= now)
            return answer(errorReply(400, QStringLiteral("expires: a date from today on, as 2027-12-31, or null for a "
                                                         "key that never expires.")));
    }
    if (!KeyStore::isKeyName(name))
        return answer(errorReply(400, QStringLiteral("name: 1 to 32 letters, digits, '.', '_' or '-'.")));
    if (!scope)
        return answer(errorReply(400, QStringLiteral("scope: \"send\" or \"edit\".")));
    const QByteArray key = board.keys.make(name, *scope, expires, now);
    if (key.isEmpty())
        return answer(errorReply(409, QStringLiteral("name: there is a key named \"%1\" already.").arg(name)));
    QString why;
    if (!board.saveKeys(&why)) {
        board.keys.revoke(name);
        return answer(errorReply(500, why));
    }
    board.record(call.caller.who(), call.caller.address, QStringLiteral("key made"),
                 name + QStringLiteral(" (") + KeyStore::scopeName(*scope) + QLatin1Char(')'));
    answer(jsonReply(201, QJsonObject{{"name", name},
                                      {"scope", KeyStore::scopeName(*scope)},
                                      {"expires", lastDay(board, expires)},
                                      {"key", QString::fromLatin1(key)}}));
}

void revokeKey(Board &board, const Call &call, const Answer &answer)
{
    const QString name = call.parts.value(0);
    if (!board.keys.revoke(name))
        return answer(errorReply(404, QStringLiteral("There is no key named \"%1\".").arg(name)));
    QString why;
    if (!board.saveKeys(&why))
        return answer(errorReply(500, why));
    board.record(call.caller.who(), call.caller.address, QStringLiteral("key revoked"), name);
    answer({204, {}, {}, {}});
}

}  // namespace api
