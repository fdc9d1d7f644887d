// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/commands.h"

#include "service/setstore.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>

#include <algorithm>

namespace mqtt {

QStringList Topics::commands() const
{
    QStringList topics{base() + QStringLiteral("send"), base() + QStringLiteral("set/+"),
                       base() + QStringLiteral("delete/+"), select(), press()};
    for (const QString &group : groups)
        topics << QStringLiteral("pelorin/group/") + group + QStringLiteral("/send");
    return topics;
}

QJsonObject Result::toJson() const
{
    QJsonObject o = more;
    o.insert(QLatin1String("id"), id.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(id));
    o.insert(QLatin1String("status"), status);
    if (!error.isEmpty())
        o.insert(QLatin1String("error"), error);
    return o;
}

Result Result::fromJson(const QJsonObject &json)
{
    Result r;
    r.id = json.value(QLatin1String("id")).toString();
    r.status = json.value(QLatin1String("status")).toString();
    r.error = json.value(QLatin1String("error")).toString();
    r.more = json;
    for (const char *key : {"id", "status", "error"})
        r.more.remove(QLatin1String(key));
    return r;
}

std::optional<QDateTime> rfc3339(const QString &text)
{
    static const QRegularExpression shape(
        QStringLiteral(R"(^\d{4}-\d\d-\d\d[Tt ]\d\d:\d\d:\d\d(\.\d+)?([Zz]|[+-]\d\d:\d\d)$)"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    QString iso = text;
    iso[10] = QLatin1Char('T');
    const QDateTime time = QDateTime::fromString(iso.toUpper(), Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    return time.toUTC();
}

namespace {

// The command a topic names under the board's own, and the set's name in
// it: "send", "set/NAME", "delete/NAME"; a group's send.
std::optional<std::pair<Command::Kind, QString>> kindOf(const Topics &topics, const QString &topic)
{
    for (const QString &group : topics.groups) {
        if (topic == QStringLiteral("pelorin/group/") + group + QStringLiteral("/send"))
            return std::pair{Command::Send, QString()};
    }
    if (!topic.startsWith(topics.base()))
        return std::nullopt;
    const QString rest = topic.mid(topics.base().size());
    if (rest == QLatin1String("send"))
        return std::pair{Command::Send, QString()};
    for (const auto &[prefix, kind] : {std::pair{"set/", Command::Save}, std::pair{"delete/", Command::Delete}}) {
        if (rest.startsWith(QLatin1String(prefix)))
            return std::pair{kind, rest.mid(qsizetype(qstrlen(prefix)))};
    }
    return std::nullopt;
}

}  // namespace

Parsed parse(const Topics &topics, const QString &topic, const QByteArray &payload, bool retained, const QDateTime &now)
{
    const auto refuse = [](const QString &id, const QString &why) { return Parsed{{}, Result::refused(id, why)}; };
    // A broker clears a retained message with an empty one, which it hands
    // on as such: nobody asked for anything.
    if (retained && payload.isEmpty())
        return {};
    // Home Assistant's select and button publish plain words, not JSON,
    // and no id.
    if (topic == topics.select() || topic == topics.press()) {
        if (retained)
            return refuse({}, QStringLiteral("Retained commands are never acted on: publish without the retain flag, "
                                             "and clear the retained one."));
        Command c;
        c.topic = topic;
        if (topic == topics.press()) {
            if (payload != kPress)
                return refuse({}, QStringLiteral("%1 takes %2 alone.").arg(topic, QLatin1String(kPress)));
            c.kind = Command::Press;
            return {c, {}};
        }
        c.kind = Command::Select;
        c.set = QString::fromUtf8(payload);
        if (!SetStore::isSetName(c.set))
            return refuse({}, QStringLiteral("%1 takes the name of a stored set, 1 to 40 letters, digits, spaces, - "
                                             "or _.")
                                  .arg(topic));
        return {c, {}};
    }
    const auto kind = kindOf(topics, topic);
    if (!kind)
        return refuse({}, QStringLiteral("%1 is no topic of this board's commands.").arg(topic));
    if (payload.size() > kLargestPayload)
        return refuse({}, QStringLiteral("The command is larger than %1 KB.").arg(kLargestPayload / 1024));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(
            {}, QStringLiteral("The command is not JSON: %1 at byte %2.").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return refuse({}, QStringLiteral("The command is no JSON object."));
    const QJsonObject o = document.object();
    const QJsonValue idValue = o.value(QLatin1String("id"));
    const QString id = idValue.toString();
    if (!idValue.isString() || id.isEmpty() || id.size() > kLongestId)
        return refuse({}, QStringLiteral("A command needs an \"id\", a text of 1 to %1 characters that no earlier "
                                         "command had, so that it is acted on once.")
                              .arg(kLongestId));
    if (retained)
        return refuse(id, QStringLiteral("Retained commands are never acted on: publish the command without the "
                                         "retain flag, and clear the retained one."));

    Command c;
    c.kind = kind->first;
    c.id = id;
    c.topic = topic;
    c.set = kind->first == Command::Send ? o.value(QLatin1String("set")).toString() : kind->second;
    if (!SetStore::isSetName(c.set))
        return refuse(id,
                      kind->first == Command::Send
                          ? QStringLiteral("set: the name of a stored set, 1 to 40 letters, digits, spaces, - or _.")
                          : QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _."));
    const QJsonValue expires = o.value(QLatin1String("expires"));
    if (!expires.isUndefined() && !expires.isNull()) {
        c.expires = rfc3339(expires.toString());
        if (!c.expires)
            return refuse(id, QStringLiteral("expires: a time as RFC 3339 writes it, with its offset, such as "
                                             "2026-05-01T09:30:00Z."));
        if (now > *c.expires)
            return refuse(
                id,
                QStringLiteral("The command expired at %1, before it arrived.").arg(c.expires->toString(Qt::ISODate)));
    }
    const QJsonValue version = o.value(QLatin1String("version"));
    if (!version.isUndefined() && !version.isNull()) {
        if (!version.isString() || version.toString().isEmpty() || version.toString().size() > 200)
            return refuse(id, QStringLiteral("version: the set's version as it was read."));
        c.version = version.toString().toLatin1();
    }
    if (c.kind == Command::Delete && !c.version)
        return refuse(id, QStringLiteral("Say which version of the set is deleted (\"version\")."));
    if (c.kind == Command::Save)
        c.body = o;
    return {c, {}};
}

}  // namespace mqtt
