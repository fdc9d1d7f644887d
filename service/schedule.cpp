// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/schedule.h"

#include "service/setstore.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>

namespace schedule {

QTimeZone localZone()
{
    const QTimeZone zone = QTimeZone::systemTimeZone();
    return zone.isValid() ? zone : QTimeZone(QByteArrayLiteral("UTC"));
}

QDateTime instant(QDate date, QTime time, const QTimeZone &zone)
{
    // The local time read with the offset in force a day before and a day
    // after (transitions are months apart): each reading that comes back to
    // the same local time is an instant it stands for.
    const QDateTime naive(date, time, Qt::UTC);
    QList<QDateTime> found;
    for (const QDateTime &probe : {naive.addDays(-1), naive.addDays(1)}) {
        const QDateTime candidate = naive.addSecs(-zone.offsetFromUtc(probe));
        const QDateTime local = candidate.toTimeZone(zone);
        if (local.date() == date && local.time() == time && !found.contains(candidate))
            found << candidate;
    }
    if (!found.isEmpty())
        return *std::min_element(found.begin(), found.end());
    // Skipped: the gap ends at the transition of that day, the first
    // minute after it.
    return zone.nextTransition(naive.addDays(-1)).atUtc;
}

namespace {

bool onDay(const Entry &entry, QDate date) { return entry.days & (1u << (date.dayOfWeek() - 1)); }

}  // namespace

std::optional<QDateTime> nextAfter(const Entry &entry, const QDateTime &after, const QTimeZone &zone)
{
    if (entry.once()) {
        const QDateTime when = instant(entry.date, entry.time, zone);
        return when > after ? std::optional(when) : std::nullopt;
    }
    if ((entry.days & 0x7f) == 0 || !entry.time.isValid())
        return std::nullopt;
    const QDate first = after.toTimeZone(zone).date().addDays(-1);
    for (QDate date = first; date <= first.addDays(8); date = date.addDays(1)) {
        if (!onDay(entry, date))
            continue;
        const QDateTime when = instant(date, entry.time, zone);
        if (when > after)
            return when;
    }
    return std::nullopt;
}

Due due(const Entry &entry, const QDateTime &from, const QDateTime &now, const QTimeZone &zone)
{
    Due result;
    QList<QDateTime> all;
    for (auto when = nextAfter(entry, from, zone); when && *when <= now; when = nextAfter(entry, *when, zone))
        all << *when;
    if (all.isEmpty())
        return result;
    if (all.last().secsTo(now) < kLatestCatchUpSecs) {
        result.send = all.last();
        all.removeLast();
    }
    result.missed = all;
    return result;
}

namespace {

const char *const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const QString kTimeFormat = QStringLiteral("HH:mm");

QString atOf(const Entry &entry)
{
    return entry.date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('T') + entry.time.toString(kTimeFormat);
}

// Exactly two digits each, so that "6:0" or "06:00:30" is refused rather
// than read as something the person did not write.
QTime timeOf(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^[0-2][0-9]:[0-5][0-9]$"));
    return shape.match(text).hasMatch() ? QTime::fromString(text, kTimeFormat) : QTime();
}

}  // namespace

QJsonObject toJson(const Entry &entry)
{
    QJsonObject o{{"set", entry.set}};
    if (entry.once()) {
        o.insert(QLatin1String("at"), atOf(entry));
        return o;
    }
    QJsonArray days;
    for (int day = 0; day < 7; ++day) {
        if (entry.days & (1u << day))
            days.append(QLatin1String(kDays[day]));
    }
    o.insert(QLatin1String("time"), entry.time.toString(kTimeFormat));
    o.insert(QLatin1String("days"), days);
    return o;
}

std::optional<Entry> fromJson(const QJsonValue &value, QString *error)
{
    const QJsonObject o = value.toObject();
    Entry entry;
    entry.set = o.value(QLatin1String("set")).toString();
    if (!SetStore::isSetName(entry.set)) {
        *error = QStringLiteral("set: the name of one of the board's sets");
        return std::nullopt;
    }
    if (o.contains(QLatin1String("at"))) {
        const QString text = o.value(QLatin1String("at")).toString();
        const QStringList parts = text.split(QLatin1Char('T'));
        const QDate date = QDate::fromString(parts.first(), QStringLiteral("yyyy-MM-dd"));
        const QTime time = parts.size() == 2 ? timeOf(parts.last()) : QTime();
        if (parts.first().size() != 10 || !date.isValid() || !time.isValid() || o.contains(QLatin1String("time"))) {
            *error = QStringLiteral("at: a date and time, as 2026-12-12T09:00");
            return std::nullopt;
        }
        // A date and a time, never a QDateTime of the computer's zone,
        // which has no 02:30 on a spring-forward day: the zone given reads
        // them when the entry is due.
        entry.date = date;
        entry.time = time;
        return entry;
    }
    entry.time = timeOf(o.value(QLatin1String("time")).toString());
    if (!entry.time.isValid()) {
        *error = QStringLiteral("time: a time of day, as 06:00");
        return std::nullopt;
    }
    const QJsonArray days = o.value(QLatin1String("days")).toArray();
    for (const QJsonValue &day : days) {
        const auto found = std::find_if(std::begin(kDays), std::end(kDays),
                                        [&](const char *name) { return day.toString() == QLatin1String(name); });
        if (found == std::end(kDays)) {
            *error = QStringLiteral("days: weekdays, as [\"mon\", \"tue\"]");
            return std::nullopt;
        }
        entry.days |= 1u << (found - std::begin(kDays));
    }
    if (entry.days == 0) {
        *error = QStringLiteral("days: at least one weekday, or \"at\" for one date");
        return std::nullopt;
    }
    return entry;
}

QString keyOf(const Entry &entry)
{
    return entry.set + QLatin1Char('|')
           + (entry.once() ? atOf(entry)
                           : entry.time.toString(kTimeFormat) + QLatin1Char('|') + QString::number(entry.days));
}

}  // namespace schedule
