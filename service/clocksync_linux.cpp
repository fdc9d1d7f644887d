// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/clocksync.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <limits>

#include <sys/timerfd.h>
#include <sys/timex.h>
#include <unistd.h>

namespace clocksync {

namespace {

// Where systemd-timesyncd marks that it has set the clock; readable in
// the service's sandbox, which forbids adjtimex() even for reading.
const char *const kTimesyncMark = "/run/systemd/timesync/synchronized";

}  // namespace

bool synchronised()
{
    if (QFileInfo::exists(QLatin1String(kTimesyncMark)))
        return true;
    // Else the flag that the kernel keeps and the time services (chrony,
    // ntpd, timesyncd) clear once they have set the clock: timedatectl's
    // "System clock synchronized". A call the sandbox refuses says nothing.
    struct timex reading {};
    const int state = adjtimex(&reading);
    return state != -1 && state != TIME_ERROR && !(reading.status & STA_UNSYNC);
}

// A timer on the wall clock, due never, that the kernel cancels whenever
// the clock is set: its file becomes readable, and the read says so.
Watcher::Watcher(QObject *parent) : QObject(parent)
{
    m_fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        return;  // then the scheduler's own looks, every few seconds, notice it
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t expirations = 0;
        if (read(m_fd, &expirations, sizeof expirations) < 0 && errno == ECANCELED) {
            arm();
            emit set();
        }
    });
    arm();
}

Watcher::~Watcher()
{
    if (m_fd >= 0)
        close(m_fd);
}

void Watcher::arm()
{
    itimerspec never{};
    never.it_value.tv_sec = std::numeric_limits<time_t>::max() / 2;
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr);
}

QString how()
{
    return QStringLiteral("systemd-timesyncd's mark %1, or the kernel's clock flag, as \"timedatectl\" shows it")
        .arg(QLatin1String(kTimesyncMark));
}

}  // namespace clocksync
