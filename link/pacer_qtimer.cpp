// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/pacer.h"

std::unique_ptr<Pacer::Alarm> Pacer::systemAlarm(QObject *owner, std::function<void()> wake)
{
    return timerAlarm(owner, std::move(wake));
}
