// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/pacer.h"

#include <QTimer>

#include <algorithm>
#include <cstdint>

Pacer::Pacer(QObject *parent) : QObject(parent), m_alarm(systemAlarm(this, [this] { wake(); })) {}

Pacer::~Pacer() = default;

void Pacer::start()
{
    m_active = true;
    arm(Clock::now() + m_interval);
}

void Pacer::stop()
{
    m_active = false;
    ++m_armed;
    m_alarm->cancel();
}

void Pacer::arm(Clock::time_point deadline)
{
    m_deadline = deadline;
    ++m_armed;
    m_alarm->setAt(deadline);
}

void Pacer::wake()
{
    if (!m_active)
        return;
    const Clock::time_point now = Clock::now();
    if (now < m_deadline) {
        arm(m_deadline);
        return;
    }
    m_tickedAt = now;
    const unsigned armed = m_armed;
    emit timeout();
    // Neither restarted nor stopped by the receiver: tick on, one interval
    // from this tick.
    if (m_active && m_armed == armed)
        arm(Clock::now() + m_interval);
}

namespace {

class TimerAlarm : public Pacer::Alarm {
public:
    TimerAlarm(QObject *owner, std::function<void()> wake) : m_timer(new QTimer(owner))
    {
        m_timer->setSingleShot(true);
        m_timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(m_timer, &QTimer::timeout, owner, std::move(wake));
    }
    void setAt(Pacer::Clock::time_point deadline) override
    {
        // Qt waits whole milliseconds; rounding up keeps the wake-up from
        // coming before the deadline.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Pacer::Clock::now());
        m_timer->start(int(std::max<std::int64_t>(0, left.count())));
    }
    void cancel() override { m_timer->stop(); }

private:
    QTimer *m_timer;
};

}  // namespace

std::unique_ptr<Pacer::Alarm> Pacer::timerAlarm(QObject *owner, std::function<void()> wake)
{
    return std::make_unique<TimerAlarm>(owner, std::move(wake));
}
