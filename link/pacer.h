// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

// The upload's clock. Each tick comes at the first moment that is no
// earlier than one interval after the last start(), as exactly as the
// system allows: the system's own timer waits for that moment (a timer
// descriptor on Linux, a high-resolution waitable timer on Windows, a
// precise QTimer elsewhere). The clock is read again before every tick, so
// a wake-up that comes early never ticks early. A tick that comes late is
// late; nothing is made up.
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
    // The clock's reading that let the latest tick go: no earlier than one
    // interval after the start() before it, and taken before anything the
    // tick's receiver does.
    Clock::time_point tickedAt() const { return m_tickedAt; }

    // The system's timer: wakes the pacer once, at or after a deadline on
    // the steady clock. Each platform has its own, in a file of its own;
    // whatever object it waits on is a child of the pacer.
    class Alarm {
    public:
        virtual ~Alarm() = default;
        virtual void setAt(Clock::time_point deadline) = 0;
        virtual void cancel() = 0;
    };
    // The platform's best alarm, calling wake when it goes off.
    static std::unique_ptr<Alarm> systemAlarm(QObject *owner, std::function<void()> wake);
    // A precise QTimer, where the system offers nothing better.
    static std::unique_ptr<Alarm> timerAlarm(QObject *owner, std::function<void()> wake);

signals:
    // Unless the receiver starts or stops the pacer, it stays active and
    // the next tick is one interval after this one.
    void timeout();

private:
    void arm(Clock::time_point deadline);
    void wake();

    std::chrono::milliseconds m_interval{1000};
    Clock::time_point m_deadline;
    Clock::time_point m_tickedAt;
    bool m_active = false;
    unsigned m_armed = 0;  // counts arm() calls, to tell a restart from a tick
    std::unique_ptr<Alarm> m_alarm;
};
