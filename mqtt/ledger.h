// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/commands.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSet>

#include <optional>

// What the MQTT door keeps in the state folder, so that a restart forgets
// neither: the ids of the commands it has answered, and the results it
// could not publish yet.
namespace mqtt {

// The commands already answered, by id, with their first result: a
// command delivered again after a reconnect, or sent again by a client
// that missed its answer, is answered with that result and done nothing
// with. Every id of the last 24 hours is kept, and the last 1,000 whatever
// their age; past kMost ids a day, the oldest go first, so that a client
// that floods the board cannot fill its card.
class SeenIds {
public:
    static constexpr int kLast = 1000;
    static constexpr int kMost = 10000;
    static constexpr qint64 kDaySeconds = 24 * 60 * 60;

    std::optional<Result> find(const QString &id) const;
    void add(const Result &result, const QDateTime &at);
    // How a command acted on ended (a send's "sent"), kept beside its
    // first result as "end": what a duplicate is told from then on.
    void ended(const Result &end);
    // Forgets what is both older than a day and before the last 1,000.
    void prune(const QDateTime &now);
    int size() const { return int(m_entries.size()); }

    QByteArray toJson() const;
    // Empty where `bytes` are not a list this wrote, and `why` says so.
    static std::optional<SeenIds> fromJson(const QByteArray &bytes, QString *why);

private:
    struct Entry {
        Result result;
        QDateTime at;
    };
    QList<Entry> m_entries;  // oldest first
    // The ids of m_entries: a flood of new ids is told from the ones seen
    // without reading them all each time.
    QSet<QString> m_ids;
};

// Results that could not be published while the broker was away, oldest
// first, published once it is back. Bounded: past kMost the oldest go,
// and the board says how many it dropped.
class Outbox {
public:
    static constexpr int kMost = 200;

    struct Item {
        Result result;
        ReplyTo replyTo;
    };
    void add(const Item &item);
    bool isEmpty() const { return m_items.isEmpty(); }
    const QList<Item> &items() const { return m_items; }
    Item takeFirst() { return m_items.takeFirst(); }
    int dropped() const { return m_dropped; }
    // Once said: the next connect says only those dropped since.
    void forgetDropped() { m_dropped = 0; }

    QByteArray toJson() const;
    static std::optional<Outbox> fromJson(const QByteArray &bytes, QString *why);

private:
    QList<Item> m_items;
    int m_dropped = 0;
};

}  // namespace mqtt
