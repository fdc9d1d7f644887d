// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/auditlog.h"
#include "service/clocksync.h"
#include "service/schedule.h"
#include "service/setstore.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

class StateFolder;

// Runs the board's schedule: sends each entry's set when it is due, one
// upload at a time, tries again where a retry may mend a failure, and
// keeps what each entry last did. It judges the day by the wall clock,
// and only once that clock is synchronised; as Qt's timers run on the
// monotonic clock, it looks again whenever the wall clock is set, and at
// least every few seconds besides.
class Scheduler : public QObject {
    Q_OBJECT
public:
    struct Clocks {
        std::function<QDateTime()> wall = [] { return QDateTime::currentDateTimeUtc(); };
        std::function<bool()> synchronised = [] { return true; };
        QTimeZone zone = schedule::localZone();
    };
    // What an attempt to start a scheduled send did.
    struct Start {
        enum Outcome { Started, Busy, Failed } outcome = Failed;
        bool retryable = false;
        QString error;
    };
    using Starter = std::function<Start(const QString &set)>;

    static constexpr int kTries = 5;
    static constexpr qint64 kRetrySecs = 60;
    static constexpr int kLongestWaitMs = 5000;
    static constexpr int kMostEntries = 100;

    Scheduler(StateFolder &state, AuditLog &log, SetStore &sets, Clocks clocks, Starter start,
              QObject *parent = nullptr);

    // Reads the schedule and what its entries last did, and starts looking
    // at the clock. A file that cannot be read is moved aside, and the
    // state folder's problems() say so: the schedule runs without it,
    // never as though it had been read.
    bool open();
    QString error() const { return m_error; }

    QByteArray version() const { return m_version; }
    // The entries with their next send and last result, the schedule's
    // version, and the clock the computer keeps.
    QJsonObject toJson() const;
    // Replaces the whole list, where `expected` is still its version. The
    // new version, or none and the refusal, which names the entry at fault.
    std::optional<QByteArray> replace(const QJsonValue &entries, const QByteArray &expected, const QString &who,
                                      const QString &address, SetStore::Refusal *refusal);
    // The one upload under way ended, whoever started it: "sent",
    // "failed" (and whether a retry may mend it) or "stopped".
    void uploadEnded(const QString &result, bool retryable, const QString &error);
    // Sends what is due and plans the next look; the timer calls it, and
    // tests with a clock they set.
    void check();

private:
    struct State {
        QDateTime judged;  // each send due up to here has been dealt with
        QJsonObject last;  // what the latest due send did
    };
    struct Pending {
        QString key, set;
        QDateTime due, nextTry;
        int tries = 0;
    };
    void judge(const QDateTime &now);
    void startNext(const QDateTime &now);
    void tried(Pending pending, const QDateTime &now, bool retryable, const QString &error);
    void setLast(const QString &key, QJsonObject last);
    void plan(const QDateTime &now);
    bool saveState();
    void record(const QString &event, const QString &detail);
    QString local(const QDateTime &when) const;

    StateFolder &m_state;
    AuditLog &m_log;
    SetStore &m_sets;
    Clocks m_clocks;
    Starter m_start;
    QList<schedule::Entry> m_entries;
    QByteArray m_version;
    QHash<QString, State> m_states;  // by schedule::keyOf
    QList<Pending> m_queue;          // due, waiting their turn or a retry
    std::optional<Pending> m_running;
    std::optional<bool> m_synchronised;  // none before the first look
    QTimer m_timer;
    clocksync::Watcher m_clockSet;
    QString m_error;
};
