// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/commands.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the board tells Home Assistant of itself by MQTT discovery: one
// retained configuration per entity, under the discovery prefix, each
// pointing at the board's own topics. Plain functions, so that every
// field can be checked against Home Assistant's schema without a broker.
namespace mqtt::discovery {

struct Entity {
    QString component;  // "select", "button", "sensor"
    QString topic;      // where its configuration goes
    QJsonObject config;
};

// The board's entities: a select of its sets, a Send button for the
// selected one, a sensor of its state and one of its last result. No
// select while no set is stored: it would have nothing to choose.
QList<Entity> entities(const Topics &topics, const QString &prefix, const QStringList &sets, const QString &version);
// The configuration topics the board may ever announce under `prefix`,
// whatever its sets: what is cleared where nobody knows what was.
QStringList everyTopic(const Topics &topics, const QString &prefix);

// The board's id as one level of a discovery topic, which takes only
// letters, digits, "_" and "-": "_" is written "__" and "." "_d", so that
// two boards never share a topic.
QString nodeId(const QString &id);

// What the board announced last, kept in the state folder: the board
// started without discovery, or with another prefix, clears exactly those.
struct Announced {
    QStringList topics;
    QByteArray toJson() const;
    static std::optional<Announced> fromJson(const QByteArray &bytes, QString *why);
};

// The configuration topics in `before` that `now` no longer holds.
QStringList gone(const QStringList &before, const QList<Entity> &now);

}  // namespace mqtt::discovery
