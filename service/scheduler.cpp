// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/scheduler.h"

#include "service/statefolder.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

const QString kSchedule = QStringLiteral("schedule.json");
const QString kScheduleState = QStringLiteral("schedule-state.json");
const QString kWho = QStringLiteral("schedule");

// How far back the clock may seem to go before it is taken for a clock
// that was set back, rather than a look that came a moment early.
constexpr qint64 kBackSecs = 60;

QString lateness(qint64 secs)
{
    if (secs < 60)
        return QStringLiteral("on time");
    const qint64 minutes = secs / 60;
    return minutes < 60 ? QStringLiteral("%1 min late").arg(minutes)
                        : QStringLiteral("%1 h %2 min late").arg(minutes / 60).arg(minutes % 60);
}

// What is wrong with what an entry last did, as schedule-state.json keeps
// it and the page shows it: each field this server writes, of its type.
QString lastWrong(const QJsonObject &last)
{
    for (const char *field : {"due", "result", "error", "at", "next_try"}) {
        if (last.contains(QLatin1String(field)) && !last.value(QLatin1String(field)).isString())
            return QStringLiteral("last.%1 is no text").arg(QLatin1String(field));
    }
    if (last.contains(QLatin1String("try")) && !last.value(QLatin1String("try")).isDouble())
        return QStringLiteral("last.try is no number");
    const QJsonValue tries = last.value(QLatin1String("tries"));
    if (tries.isUndefined())
        return {};
    if (!tries.isArray())
        return QStringLiteral("last.tries is no list");
    for (const QJsonValue &one : tries.toArray()) {
        if (!one.isObject() || !one.toObject().value(QLatin1String("at")).isString()
            || !one.toObject().value(QLatin1String("error")).isString())
            return QStringLiteral("last.tries holds what is no try");
    }
    return {};
}

}  // namespace

Scheduler::Scheduler(StateFolder &state, AuditLog &log, SetStore &sets, Clocks clocks, Starter start, QObject *parent)
    : QObject(parent), m_state(state), m_log(log), m_sets(sets), m_clocks(std::move(clocks)), m_start(std::move(start))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Scheduler::check);
    connect(&m_clockSet, &clocksync::Watcher::set, this, &Scheduler::check);
}

bool Scheduler::open()
{
    // What could not be read is moved aside and said, never run as an
    // empty schedule unsaid; the board and the page go on meanwhile.
    QByteArray file("");
    m_state.readWhole(
        kSchedule,
        [&](const QByteArray &bytes) -> StateFolder::Reading {
            QJsonDocument document;
            QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
            if (why.isEmpty() && !document.object().value(QLatin1String("entries")).isArray())
                why = QStringLiteral("it holds no list of entries");
            const QJsonArray list = document.object().value(QLatin1String("entries")).toArray();
            QList<schedule::Entry> entries;
            QStringList leftOut;
            for (qsizetype i = 0; why.isEmpty() && i < list.size(); ++i) {
                const QJsonObject o = list.at(i).toObject();
                // Written for a single date in a spring-forward gap by an
                // earlier version, which had lost the date: nothing to
                // send, and so left out, but said, and the file kept as
                // it was. That shape alone: anything else that is no
                // entry makes the file one that cannot be read.
                if (list.at(i).isObject() && o.value(QLatin1String("time")) == QJsonValue(QString())
                    && o.value(QLatin1String("days")) == QJsonValue(QJsonArray()) && !o.contains(QLatin1String("at"))
                    && o.value(QLatin1String("set")).isString()) {
                    leftOut << QStringLiteral("entry %1, of the set \"%2\", has no date, time or day")
                                   .arg(i + 1)
                                   .arg(o.value(QLatin1String("set")).toString());
                    continue;
                }
                QString wrong;
                if (!list.at(i).isObject())
                    why = QStringLiteral("entry %1: it is no entry").arg(i + 1);
                else if (const auto entry = schedule::fromJson(o, &wrong))
                    entries << *entry;
                else
                    why = QStringLiteral("entry %1: %2").arg(i + 1).arg(wrong);
            }
            if (!why.isEmpty())
                return why;
            m_entries = entries;
            file = bytes;
            for (const QString &entry : leftOut)
                record(QStringLiteral("schedule entry left out"), entry);
            StateFolder::Reading reading;
            reading.leftOut = leftOut;
            return reading;
        },
        QStringLiteral("What could not be read sends nothing: stop the server and put %1 back from a backup, or "
                       "enter those entries again on the page.")
            .arg(kSchedule));
    m_version = SetStore::versionOf(file);
    m_state.readWhole(
        kScheduleState,
        [&](const QByteArray &bytes) {
            QJsonDocument document;
            QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
            if (!why.isEmpty())
                return why;
            // What each entry last did, as this server writes it, or none
            // of it: a time that cannot be read is never taken for none,
            // which would take the entry for a new one and let what it
            // missed pass unsaid.
            QHash<QString, State> states;
            const QJsonObject all = document.object();
            for (auto it = all.begin(); it != all.end(); ++it) {
                const QJsonObject o = it.value().toObject();
                const QJsonValue judged = o.value(QLatin1String("judged"));
                const QDateTime when = QDateTime::fromString(judged.toString(), Qt::ISODate);
                QString wrong;
                if (!it.value().isObject())
                    wrong = QStringLiteral("it is no record");
                else if (!judged.isUndefined() && !when.isValid())
                    wrong = QStringLiteral("judged is no time");
                else if (!o.value(QLatin1String("last")).isObject())
                    wrong = QStringLiteral("last is no record");
                else
                    wrong = lastWrong(o.value(QLatin1String("last")).toObject());
                if (!wrong.isEmpty())
                    return QStringLiteral("the entry %1: %2").arg(it.key(), wrong);
                states.insert(it.key(), {when, o.value(QLatin1String("last")).toObject()});
            }
            m_states = states;
            return why;
        },
        QStringLiteral("The page shows no last send of any entry, and sends missed while the server was off are "
                       "neither sent nor said; the schedule goes on."));
    check();
    return true;
}

QString Scheduler::local(const QDateTime &when) const { return when.toTimeZone(m_clocks.zone).toString(Qt::ISODate); }

void Scheduler::record(const QString &event, const QString &detail)
{
    const QDateTime now = m_clocks.wall();
    m_log.record(AuditLog::Clock::time_point(std::chrono::milliseconds(now.toMSecsSinceEpoch())), kWho, {}, event,
                 detail);
}

bool Scheduler::saveState()
{
    QJsonObject states;
    for (auto it = m_states.cbegin(); it != m_states.cend(); ++it) {
        QJsonObject o{{"last", it->last}};
        if (it->judged.isValid())
            o.insert(QLatin1String("judged"), it->judged.toUTC().toString(Qt::ISODate));
        states.insert(it.key(), o);
    }
    return m_state.write(kScheduleState, QJsonDocument(states).toJson());
}

void Scheduler::setLast(const QString &key, QJsonObject last)
{
    if (m_states.contains(key))
        m_states[key].last = std::move(last);
}

QJsonObject Scheduler::toJson() const
{
    const QDateTime now = m_clocks.wall();
    QJsonArray entries;
    for (const schedule::Entry &entry : m_entries) {
        QJsonObject o = schedule::toJson(entry);
        const auto next = schedule::nextAfter(entry, now, m_clocks.zone);
        o.insert(QLatin1String("next"), next ? QJsonValue(local(*next)) : QJsonValue());
        const State state = m_states.value(schedule::keyOf(entry));
        if (!state.last.isEmpty())
            o.insert(QLatin1String("last"), state.last);
        if (!m_sets.has(entry.set))
            o.insert(QLatin1String("broken"),
                     QStringLiteral("There is no set named \"%1\" now: this entry sends nothing until one is saved "
                                    "under that name.")
                         .arg(entry.set));
        entries.append(o);
    }
    return {{"entries", entries},
            {"version", QString::fromLatin1(m_version)},
            {"zone", QString::fromLatin1(m_clocks.zone.id())},
            {"now", local(now)},
            {"synchronised", m_synchronised.value_or(false)}};
}

std::optional<QByteArray> Scheduler::replace(const QJsonValue &entries, const QByteArray &expected, const QString &who,
                                             const QString &address, SetStore::Refusal *refusal)
{
    const auto refuse = [&](int status, const QString &error) {
        *refusal = {status, error};
        return std::nullopt;
    };
    if (expected != m_version)
        return refuse(412, QStringLiteral("Someone changed the schedule after you opened it; here it is as it is "
                                          "now: make your change to it again."));
    if (!entries.isArray())
        return refuse(400, QStringLiteral("entries: a list of entries."));
    const QJsonArray list = entries.toArray();
    if (list.size() > kMostEntries)
        return refuse(400, QStringLiteral("entries: at most %1.").arg(kMostEntries));
    QList<schedule::Entry> parsed;
    QStringList keys;
    QJsonArray written;
    for (qsizetype i = 0; i < list.size(); ++i) {
        QString why;
        const auto entry = schedule::fromJson(list.at(i), &why);
        if (!entry)
            return refuse(400, QStringLiteral("entry %1: %2.").arg(i + 1).arg(why));
        if (!m_sets.has(entry->set))
            return refuse(400,
                          QStringLiteral("entry %1: set: there is no set named \"%2\".").arg(i + 1).arg(entry->set));
        const QString key = schedule::keyOf(*entry);
        if (const qsizetype same = keys.indexOf(key); same >= 0)
            return refuse(400, QStringLiteral("entry %1: the same as entry %2.").arg(i + 1).arg(same + 1));
        parsed << *entry;
        keys << key;
        written.append(schedule::toJson(*entry));
    }
    const QByteArray file = QJsonDocument(QJsonObject{{"entries", written}}).toJson();
    if (!m_state.write(kSchedule, file))
        return refuse(500, m_state.error());
    // An entry that stays keeps what it did; a new one has nothing behind
    // it to catch up on, from the first look at a synchronised clock.
    QHash<QString, State> states;
    for (const QString &key : keys)
        states.insert(key, m_states.value(key, {m_synchronised.value_or(false) ? m_clocks.wall() : QDateTime(), {}}));
    m_states = states;
    m_queue.removeIf([&](const Pending &p) { return !keys.contains(p.key); });
    m_entries = parsed;
    m_version = SetStore::versionOf(file);
    saveState();
    m_log.record(AuditLog::Clock::time_point(std::chrono::milliseconds(m_clocks.wall().toMSecsSinceEpoch())), who,
                 address, QStringLiteral("schedule saved"), QStringLiteral("%1 entries").arg(parsed.size()));
    check();
    return m_version;
}

void Scheduler::check()
{
    const QDateTime now = m_clocks.wall();
    const bool synchronised = m_clocks.synchronised();
    if (synchronised != m_synchronised.value_or(true)) {
        record(synchronised ? QStringLiteral("clock synchronised")
                            : QStringLiteral("clock not synchronised: scheduled sends wait for it"),
               local(now));
    }
    m_synchronised = synchronised;
    if (synchronised) {
        judge(now);
        startNext(now);
    }
    plan(now);
}

void Scheduler::judge(const QDateTime &now)
{
    bool changed = false;
    bool wentBack = false;
    for (const schedule::Entry &entry : m_entries) {
        const QString key = schedule::keyOf(entry);
        State &state = m_states[key];
        if (!state.judged.isValid() || state.judged.secsTo(now) < -kBackSecs) {
            // Nothing behind a new entry; and a clock set back was wrong
            // before, so what it then judged to be past may come again.
            wentBack = wentBack || state.judged.isValid();
            state.judged = now;
            changed = true;
            continue;
        }
        const schedule::Due due = schedule::due(entry, state.judged, now, m_clocks.zone);
        for (const QDateTime &missed : due.missed) {
            record(
                QStringLiteral("scheduled send missed"),
                QStringLiteral("%1, due %2, %3: not sent").arg(entry.set, local(missed), lateness(missed.secsTo(now))));
            setLast(key, {{"due", local(missed)}, {"result", "missed"}});
        }
        if (due.send) {
            m_queue.removeIf([&](const Pending &p) { return p.key == key; });
            m_queue.append({key, entry.set, *due.send, now, 0});
            // The one due first goes first.
            std::stable_sort(m_queue.begin(), m_queue.end(),
                             [](const Pending &a, const Pending &b) { return a.due < b.due; });
            setLast(key, {{"due", local(*due.send)}, {"result", "waiting"}});
        }
        changed = changed || due.send || !due.missed.isEmpty();
        state.judged = now;
    }
    if (wentBack)
        record(QStringLiteral("clock set back"), local(now));
    // Written only when something was due: what a look finds due is
    // dealt with before the file says it was judged.
    if (changed)
        saveState();
}

void Scheduler::startNext(const QDateTime &now)
{
    while (!m_running) {
        const auto ready =
            std::find_if(m_queue.begin(), m_queue.end(), [&](const Pending &p) { return p.nextTry <= now; });
        if (ready == m_queue.end())
            return;
        Pending pending = *ready;
        m_queue.erase(ready);
        if (!m_sets.has(pending.set)) {
            record(QStringLiteral("scheduled send skipped"),
                   QStringLiteral("%1: there is no set of that name now").arg(pending.set));
            setLast(pending.key, {{"due", local(pending.due)}, {"result", "broken"}});
            saveState();
            continue;
        }
        const Start start = m_start(pending.set);
        if (start.outcome == Start::Busy) {
            // The one upload at a time is someone else's: its end looks again.
            m_queue.prepend(pending);
            return;
        }
        ++pending.tries;
        const qint64 late = pending.due.secsTo(now);
        if (start.outcome == Start::Started) {
            if (pending.tries == 1 && late >= 60)
                record(QStringLiteral("scheduled send late"),
                       QStringLiteral("%1, due %2, %3").arg(pending.set, local(pending.due), lateness(late)));
            m_running = pending;
            m_running->nextTry = now;
            QJsonObject last{{"due", local(pending.due)}, {"result", "sending"}, {"try", pending.tries}};
            if (pending.tries > 1)
                last.insert(QLatin1String("tries"), m_states.value(pending.key).last.value(QLatin1String("tries")));
            setLast(pending.key, last);
            continue;
        }
        tried(pending, now, start.retryable, start.error);
    }
}

void Scheduler::tried(Pending pending, const QDateTime &now, bool retryable, const QString &error)
{
    QJsonObject last{{"due", local(pending.due)}, {"try", pending.tries}, {"error", error}};
    QJsonArray tries = m_states.value(pending.key).last.value(QLatin1String("tries")).toArray();
    if (pending.tries == 1)
        tries = {};
    tries.append(QJsonObject{{"at", local(now)}, {"error", error}});
    last.insert(QLatin1String("tries"), tries);
    if (retryable && pending.tries < kTries) {
        pending.nextTry = now.addSecs(kRetrySecs);
        last.insert(QLatin1String("result"), QStringLiteral("retrying"));
        last.insert(QLatin1String("next_try"), local(pending.nextTry));
        record(QStringLiteral("scheduled send failed"), QStringLiteral("%1, try %2 of %3: %4; trying again at %5")
                                                            .arg(pending.set)
                                                            .arg(pending.tries)
                                                            .arg(kTries)
                                                            .arg(error, local(pending.nextTry)));
        m_queue.append(pending);
    } else {
        last.insert(QLatin1String("result"), QStringLiteral("failed"));
        record(QStringLiteral("scheduled send failed"), QStringLiteral("%1, try %2 of %3: %4; not tried again")
                                                            .arg(pending.set)
                                                            .arg(pending.tries)
                                                            .arg(kTries)
                                                            .arg(error));
    }
    setLast(pending.key, last);
    saveState();
}

void Scheduler::uploadEnded(const QString &result, bool retryable, const QString &error)
{
    if (m_running) {
        const Pending pending = *m_running;
        m_running.reset();
        const QDateTime now = m_clocks.wall();
        if (result == QLatin1String("failed")) {
            tried(pending, now, retryable, error);
        } else {
            QJsonObject last{
                {"due", local(pending.due)}, {"result", result}, {"try", pending.tries}, {"at", local(now)}};
            if (pending.tries > 1)
                last.insert(QLatin1String("tries"), m_states.value(pending.key).last.value(QLatin1String("tries")));
            setLast(pending.key, last);
            saveState();
        }
    }
    check();
}

void Scheduler::plan(const QDateTime &now)
{
    qint64 wait = kLongestWaitMs;
    for (const schedule::Entry &entry : m_entries) {
        if (const auto next = schedule::nextAfter(entry, now, m_clocks.zone))
            wait = std::min(wait, now.msecsTo(*next));
    }
    for (const Pending &pending : m_queue)
        wait = std::min(wait, now.msecsTo(pending.nextTry));
    m_timer.start(int(std::max<qint64>(wait, 0)));
}
