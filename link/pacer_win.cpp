// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/pacer.h"

#include <QWinEventNotifier>

#include <windows.h>

#include <algorithm>

namespace {

// Not named by every SDK's headers yet.
constexpr DWORD kHighResolution = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

// A waitable timer waits to the system's finest resolution, where Windows
// rounds Qt's timers to its 15.6 ms tick. Its absolute due times are wall
// clock time, which can jump, so it is always armed with a relative due
// time worked out from the steady clock.
class WaitableAlarm : public Pacer::Alarm {
public:
    WaitableAlarm(HANDLE timer, QObject *owner, std::function<void()> wake)
        : m_timer(timer), m_notifier(new QWinEventNotifier(timer, owner))
    {
        QObject::connect(m_notifier, &QWinEventNotifier::activated, owner, std::move(wake));
    }
    ~WaitableAlarm() override
    {
        delete m_notifier;
        ::CloseHandle(m_timer);
    }
    void setAt(Pacer::Clock::time_point deadline) override
    {
        // In units of 100 ns, negative for a relative time, and rounded up
        // so that the wake-up never comes before the deadline.
        const auto left = std::chrono::ceil<std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>>(
            deadline - Pacer::Clock::now());
        LARGE_INTEGER due;
        due.QuadPart = -std::max<LONGLONG>(1, left.count());
        ::SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE);
    }
    void cancel() override { ::CancelWaitableTimer(m_timer); }

private:
    HANDLE m_timer;
    QWinEventNotifier *m_notifier;
};

}  // namespace

std::unique_ptr<Pacer::Alarm> Pacer::systemAlarm(QObject *owner, std::function<void()> wake)
{
    // Windows before 10 (1803) refuses the high resolution; an ordinary
    // waitable timer still waits for a relative time on its own clock.
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
    if (!timer)
        timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (!timer)
        return timerAlarm(owner, std::move(wake));
    return std::make_unique<WaitableAlarm>(timer, owner, std::move(wake));
}
