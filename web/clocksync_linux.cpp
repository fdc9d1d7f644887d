// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/clocksync.h"

#include <QFileInfo>

#include <sys/timex.h>

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

QString how()
{
    return QStringLiteral("systemd-timesyncd's mark %1, or the kernel's clock flag, as \"timedatectl\" shows it")
        .arg(QLatin1String(kTimesyncMark));
}

}  // namespace clocksync
