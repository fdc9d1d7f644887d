// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTime>
#include <QTimeZone>

#include <optional>

// When the board's sets go: an entry sends a set at a time of day on
// chosen weekdays, or once at a date and time, in the computer's local
// time. A time that a spring-forward day skips sends at the first minute
// after the gap; one that a fall-back day has twice sends once, the first
// time.
namespace schedule {

struct Entry {
    QString set;
    QTime time;         // at this time of day,
    unsigned days = 0;  // each chosen weekday (bit 0 Monday .. bit 6 Sunday), or
    QDate date;         // once, on this date
    bool once() const { return date.isValid(); }
};

// The computer's time zone; UTC where it has none it can read (no time
// zone data installed), which the server then says.
QTimeZone localZone();

// The instant a local date and time stands for: the earliest if the day has
// it twice, the end of the gap if the day skips it.
QDateTime instant(QDate date, QTime time, const QTimeZone &zone);

// The entry's first send strictly after `after`, or none (a single date
// that has passed, an entry with no days).
std::optional<QDateTime> nextAfter(const Entry &entry, const QDateTime &after, const QTimeZone &zone);

// What to do about the sends an entry was due between `from` (exclusive)
// and `now` (inclusive), the computer having been off or busy: the latest
// goes once if it is under 12 hours late; the others, and one older than
// that, are missed.
struct Due {
    std::optional<QDateTime> send;  // when it was due
    QList<QDateTime> missed;
};
constexpr qint64 kLatestCatchUpSecs = 12 * 3600;
Due due(const Entry &entry, const QDateTime &from, const QDateTime &now, const QTimeZone &zone);

// The entry as the API and the state folder write it:
// {"set","time":"HH:MM","days":["mon",...]} or {"set","at":"YYYY-MM-DDTHH:MM"}.
QJsonObject toJson(const Entry &entry);
// An entry as the API gives it, or none and what is wrong with it, in
// words that name the field.
std::optional<Entry> fromJson(const QJsonValue &value, QString *error);
// What tells one entry from another: its set, and when it sends. An edit
// that keeps an entry keeps what it last did.
QString keyOf(const Entry &entry);

}  // namespace schedule
