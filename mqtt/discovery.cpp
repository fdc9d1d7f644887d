// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/discovery.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace mqtt::discovery {

namespace {

// An entity id takes lower-case letters, digits and "_" alone.
QString slug(const QString &id)
{
    QString s = id.toLower();
    for (QChar &c : s) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))))
            c = QLatin1Char('_');
    }
    return s;
}

struct Kind {
    const char *component, *object, *name;
};
constexpr Kind kSelect{"select", "set", "Set"};
constexpr Kind kButton{"button", "send", "Send"};
constexpr Kind kState{"sensor", "state", "State"};
constexpr Kind kResult{"sensor", "result", "Last result"};

QString topicOf(const Topics &topics, const QString &prefix, const Kind &kind)
{
    return QStringLiteral("%1/%2/pelorin_%3/%4/config")
        .arg(prefix, QLatin1String(kind.component), nodeId(topics.id), QLatin1String(kind.object));
}

Entity entity(const Topics &topics, const QString &prefix, const QString &version, const Kind &kind, QJsonObject config)
{
    QJsonObject device{{"identifiers", QJsonArray{"pelorin_" + topics.id}},
                       {"name", topics.id},
                       {"manufacturer", "pelorin"},
                       {"model", "Tavro message board"}};
    QJsonObject origin{{"name", "pelorin"}};
    if (!version.isEmpty()) {
        device.insert(QLatin1String("sw_version"), version);
        origin.insert(QLatin1String("sw_version"), version);
    }
    const QString object = QLatin1String(kind.object);
    config.insert(QLatin1String("name"), QLatin1String(kind.name));
    // The board's id as it is: two boards whose ids differ only where an
    // entity id cannot tell them apart still get ids of their own.
    config.insert(QLatin1String("unique_id"), "pelorin_" + topics.id + "_" + object);
    config.insert(QLatin1String("default_entity_id"),
                  QLatin1String(kind.component) + ".pelorin_" + slug(topics.id) + "_" + object);
    config.insert(QLatin1String("device"), device);
    config.insert(QLatin1String("origin"), origin);
    config.insert(QLatin1String("availability_topic"), topics.status());
    config.insert(QLatin1String("payload_available"), "online");
    config.insert(QLatin1String("payload_not_available"), "offline");
    return {QLatin1String(kind.component), topicOf(topics, prefix, kind), config};
}

}  // namespace

QString nodeId(const QString &id)
{
    QString node;
    for (const QChar c : id) {
        if (c == QLatin1Char('_'))
            node += QLatin1String("__");
        else if (c == QLatin1Char('.'))
            node += QLatin1String("_d");
        else
            node += c;
    }
    return node;
}

QList<Entity> entities(const Topics &topics, const QString &prefix, const QStringList &sets, const QString &version)
{
    QList<Entity> all;
    if (!sets.isEmpty()) {
        all << entity(topics, prefix, version, kSelect,
                      {{"command_topic", topics.select()},
                       {"state_topic", topics.selected()},
                       // The board says "no set chosen" as null, which Home
                       // Assistant reads as unknown only when it is "None".
                       {"value_template", "{{ value_json.set if value_json.set else 'None' }}"},
                       {"options", QJsonArray::fromStringList(sets)},
                       {"icon", "mdi:format-list-bulleted"}});
    }
    all << entity(topics, prefix, version, kButton,
                  {{"command_topic", topics.press()},
                   {"payload_press", QLatin1String(mqtt::kPress)},
                   // Exactly once from Home Assistant to the board: a press
                   // carries no id of its own that could tell a repeat.
                   {"qos", 2},
                   {"retain", false},
                   {"icon", "mdi:send"}});
    all << entity(topics, prefix, version, kState,
                  {{"state_topic", topics.state()},
                   {"value_template", "{{ value_json.state }}"},
                   {"device_class", "enum"},
                   {"options", QJsonArray{"idle", "sending"}},
                   // The set, characters sent and left, and how the last
                   // upload ended, as the page shows them.
                   {"json_attributes_topic", topics.state()},
                   {"icon", "mdi:message-processing"}});
    all << entity(topics, prefix, version, kResult,
                  {{"state_topic", topics.lastResult()},
                   {"value_template", "{{ value_json.status }}"},
                   {"json_attributes_topic", topics.lastResult()},
                   {"icon", "mdi:message-check"}});
    return all;
}

QStringList everyTopic(const Topics &topics, const QString &prefix)
{
    QStringList all;
    for (const Kind &kind : {kSelect, kButton, kState, kResult})
        all << topicOf(topics, prefix, kind);
    return all;
}

QStringList gone(const QStringList &before, const QList<Entity> &now)
{
    QStringList left;
    for (const QString &topic : before) {
        if (std::none_of(now.begin(), now.end(), [&](const Entity &e) { return e.topic == topic; }))
            left << topic;
    }
    return left;
}

QByteArray Announced::toJson() const
{
    return QJsonDocument(QJsonObject{{"announced", QJsonArray::fromStringList(topics)}}).toJson();
}

std::optional<Announced> Announced::fromJson(const QByteArray &bytes, QString *why)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonValue list = document.object().value(QLatin1String("announced"));
    if (!document.isObject() || !list.isArray()) {
        *why = QStringLiteral("not the list of Home Assistant's configuration topics this board announced");
        return std::nullopt;
    }
    Announced read;
    for (const QJsonValue &topic : list.toArray()) {
        if (!topic.isString() || topic.toString().isEmpty()) {
            *why = QStringLiteral("a configuration topic that is not a text");
            return std::nullopt;
        }
        read.topics << topic.toString();
    }
    return read;
}

}  // namespace mqtt::discovery
