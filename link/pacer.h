// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <chrono>

class QSocketNotifier;
class QTimer;

// The upload's clock. Each tick comes at the first moment that is no
// earlier than one interval after the last start(), as exactly as the
// system allows: on Linux a timer descriptor waits for that moment as an
// absolute deadline on the monotonic clock, elsewhere a precise QTimer.
// The clock is read again before every tick, so a wake-up that comes early
// never ticks early. A tick that comes late is late; nothing is made up.
class Pacer : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit Pacer(QObject *parent = nullptr);
    ~Pacer() override;

    void setInterval(int ms) { m_interval = std::chrono::milliseconds(ms); }
    int interval() const { return int(m_interval.count()); }
    bool isActive() const { return m_active; }
    // The next tick one interval from now. Called again from a tick, it
    // times the next one from that moment.
    void start();
    void stop();

signals:
    // Unless the receiver starts or stops the pacer, it stays active and
    // the next tick is one interval after this one.
    void timeout();

private:
    void arm(Clock::time_point deadline);
    void wake();

    std::chrono::milliseconds m_interval{1000};
    Clock::time_point m_deadline;
    bool m_active = false;
    unsigned m_armed = 0;  // counts arm() calls, to tell a restart from a tick
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_fallback = nullptr;
};
