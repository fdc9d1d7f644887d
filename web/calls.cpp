// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/calls.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

using namespace std::chrono;

HttpReply jsonReply(int status, const QJsonValue &value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return {status, "application/json", document.toJson(QJsonDocument::Compact) + '\n', {}};
}

HttpReply errorReply(int status, const QString &error) { return jsonReply(status, QJsonObject{{"error", error}}); }

HttpReply waitReply(const QString &text, seconds wait)
{
    HttpReply reply = errorReply(429, text.arg(wait.count()));
    reply.headers.append({"Retry-After", QByteArray::number(wait.count())});
    return reply;
}

QByteArray cookieValue(const HttpRequest &request, const QByteArray &name)
{
    for (const auto &[key, value] : request.headers) {
        if (key != "cookie")
            continue;
        for (const QByteArray &pair : value.split(';')) {
            const qsizetype equals = pair.indexOf('=');
            if (equals > 0 && pair.left(equals).trimmed() == name)
                return pair.mid(equals + 1).trimmed();
        }
    }
    return {};
}

QByteArray quoted(const QByteArray &version) { return '"' + version + '"'; }

QByteArray unquoted(QByteArray tag)
{
    tag = tag.trimmed();
    if (tag.startsWith("W/"))
        tag = tag.mid(2);
    return tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"') ? tag.mid(1, tag.size() - 2) : tag;
}

QString deviceId(const QByteArray &cookie)
{
    return QString::fromLatin1(QCryptographicHash::hash(cookie, QCryptographicHash::Sha256).toHex().left(16));
}
