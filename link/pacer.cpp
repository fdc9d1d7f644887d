// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/pacer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdint>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

Pacer::Pacer(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_LINUX
    // std::chrono::steady_clock is CLOCK_MONOTONIC on Linux, so deadlines
    // pass between the two unchanged.
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Pacer::wake);
        return;
    }
#endif
    m_fallback = new QTimer(this);
    m_fallback->setSingleShot(true);
    m_fallback->setTimerType(Qt::PreciseTimer);
    connect(m_fallback, &QTimer::timeout, this, &Pacer::wake);
}

Pacer::~Pacer()
{
#ifdef Q_OS_LINUX
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void Pacer::start()
{
    m_active = true;
    arm(Clock::now() + m_interval);
}

void Pacer::stop()
{
    m_active = false;
    ++m_armed;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        const itimerspec off{};
        ::timerfd_settime(m_fd, 0, &off, nullptr);
    }
#endif
    if (m_fallback)
        m_fallback->stop();
}

void Pacer::arm(Clock::time_point deadline)
{
    m_deadline = deadline;
    ++m_armed;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        const auto since = deadline.time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        itimerspec at{};
        at.it_value.tv_sec = time_t(seconds.count());
        at.it_value.tv_nsec = long(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &at, nullptr);
        return;
    }
#endif
    // Qt waits whole milliseconds; rounding up keeps the wake-up from
    // coming before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    m_fallback->start(int(std::max<std::int64_t>(0, left.count())));
}

void Pacer::wake()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
    }
#endif
    if (!m_active)
        return;
    if (Clock::now() < m_deadline) {
        arm(m_deadline);
        return;
    }
    const unsigned armed = m_armed;
    emit timeout();
    // Neither restarted nor stopped by the receiver: tick on, one interval
    // from this tick.
    if (m_active && m_armed == armed)
        arm(Clock::now() + m_interval);
}
