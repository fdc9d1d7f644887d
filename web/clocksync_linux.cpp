// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/clocksync.h"

#include <sys/timex.h>

namespace clocksync {

// The kernel keeps a flag that the time services (systemd-timesyncd,
// chrony, ntpd) clear once they have set the clock, and that it sets
// again where they stop; timedatectl's "System clock synchronized" is the
// same flag.
bool synchronised()
{
    struct timex reading {};
    return adjtimex(&reading) != TIME_ERROR && !(reading.status & STA_UNSYNC);
}

QString how()
{
    return QStringLiteral("the kernel's clock flag, as \"timedatectl\" shows it (System clock synchronized)");
}

}  // namespace clocksync
