// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/pacer.h"

#include <QSocketNotifier>

#include <cstdint>

#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// A timer descriptor waits for an absolute deadline on the monotonic
// clock, to the nanosecond, where Qt's timers wait whole milliseconds from
// when they were started.
class TimerfdAlarm : public Pacer::Alarm {
public:
    TimerfdAlarm(int fd, QObject *owner, std::function<void()> wake)
        : m_fd(fd), m_notifier(new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, owner))
    {
        QObject::connect(m_notifier, &QSocketNotifier::activated, owner, [this, wake = std::move(wake)] {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
            wake();
        });
    }
    ~TimerfdAlarm() override
    {
        delete m_notifier;
        ::close(m_fd);
    }
    void setAt(Pacer::Clock::time_point deadline) override
    {
        // std::chrono::steady_clock is CLOCK_MONOTONIC on Linux, so deadlines
        // pass between the two unchanged.
        const auto since = deadline.time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        itimerspec at{};
        at.it_value.tv_sec = time_t(seconds.count());
        at.it_value.tv_nsec = long(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &at, nullptr);
    }
    void cancel() override
    {
        const itimerspec off{};
        ::timerfd_settime(m_fd, 0, &off, nullptr);
    }

private:
    int m_fd;
    QSocketNotifier *m_notifier;
};

}  // namespace

std::unique_ptr<Pacer::Alarm> Pacer::systemAlarm(QObject *owner, std::function<void()> wake)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return timerAlarm(owner, std::move(wake));
    return std::make_unique<TimerfdAlarm>(fd, owner, std::move(wake));
}
