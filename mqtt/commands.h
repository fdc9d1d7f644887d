// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/broker.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// What the board's topics on a broker carry, read into plain values with
// no protocol library in them, so that every command can be tested and
// fuzzed as it arrives.
namespace mqtt {

// The largest command taken, as the page takes the largest body: a set's
// nine messages fit many times over.
inline constexpr qsizetype kLargestPayload = 64 * 1024;
// A command's id as a client may choose it: a UUID, a counter, a name.
inline constexpr qsizetype kLongestId = 200;
// What Home Assistant's button publishes to the press topic.
inline constexpr const char *kPress = "PRESS";

// The board's topics, all under pelorin/ID/, and its groups' sends.
struct Topics {
    QString id;
    QStringList groups;

    QString base() const { return QStringLiteral("pelorin/") + id + QLatin1Char('/'); }
    QString status() const { return base() + QStringLiteral("status"); }
    QString state() const { return base() + QStringLiteral("state"); }
    QString sets() const { return base() + QStringLiteral("sets"); }
    QString result() const { return base() + QStringLiteral("result"); }
    // The last result again, retained, for whoever looks later.
    QString lastResult() const { return base() + QStringLiteral("last-result"); }
    // A set chosen by name, with no id: what a press of Send sends.
    QString select() const { return base() + QStringLiteral("select"); }
    QString selected() const { return base() + QStringLiteral("selected"); }
    QString press() const { return base() + QStringLiteral("press"); }
    // What the board subscribes to.
    QStringList commands() const;
};

// Where a result goes beside the board's result topic: an MQTT 5 client's
// response topic, and its correlation data as it gave it.
struct ReplyTo {
    QString topic;
    QByteArray correlation;
};

struct Command {
    // Select and Press are Home Assistant's: a plain name, and a press
    // that the handler gives an id of its own.
    enum Kind { Send, Save, Delete, Select, Press };
    Kind kind = Send;
    QString id;
    QString set;                        // the set's name
    QJsonObject body;                   // Save: the set, as the page's PUT takes it
    std::optional<QByteArray> version;  // Save and Delete: the version the edit began from
    std::optional<QDateTime> expires;   // Send: not to be acted on after
    QString topic;                      // where it came, for the log
};

// One answer on the result topic.
struct Result {
    QString id;  // empty where the command gave none that could be read
    QString status;
    QString error;     // in words, for a refusal or a failure
    QJsonObject more;  // what else the answer carries: a version, the set as it is now
    QJsonObject toJson() const;
    static Result fromJson(const QJsonObject &json);
    static Result refused(const QString &id, const QString &error)
    {
        return {id, QStringLiteral("refused"), error, {}};
    }
};

// A message on one of the board's topics: the command, or the refusal that
// says why there is none. Neither where the message is no command at all
// (a retained message being cleared).
struct Parsed {
    std::optional<Command> command;
    std::optional<Result> refusal;
};

Parsed parse(const Topics &topics, const QString &topic, const QByteArray &payload, bool retained,
             const QDateTime &now);

// An RFC 3339 time ("2026-05-01T09:30:00Z", "...+02:00"), with its offset:
// a time without one means different instants to different boards.
std::optional<QDateTime> rfc3339(const QString &text);

}  // namespace mqtt
