// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/schedule.h"

#include <algorithm>

namespace schedule {

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
        const QDateTime when = instant(entry.at.date(), entry.at.time(), zone);
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

}  // namespace schedule
