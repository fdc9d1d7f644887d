// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include "link/serialdevices.h"

#include <QCoreApplication>

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused, const QStringList &,
                        const QString &)
{
    DeviceFacts facts;
    facts.device = device;
    facts.systemReason = systemReason;
    facts.writable = true;
    facts.exists = !device.isEmpty() && devicePresent(device);
    // Windows names no holder. A port that another program holds is
    // refused as "access denied", which Qt calls a permission error; Wine
    // may give a sharing violation instead, whose own words then say it.
    facts.refusedAsBusy = facts.exists && refused;
    // Nothing tells a COM port's lasting faults from its passing ones (a
    // USB adapter's driver that times out), so each may be tried again.
    facts.transient = facts.exists;
    if (facts.exists)
        return facts;
    for (const SerialDevice &other : serialDevices()) {
        facts.otherDevices << other.device;
        facts.otherPorts << other.product;
    }
    return facts;
}

namespace remedy {

QString renumber(const NextStep &next)
{
    return QCoreApplication::translate(
               "Diagnosis",
               "To use the board's adapter, give it a number from 1 to 4, and 1 if it is the only one: pelorin "
               "offers the ports from 1 up to the first that is missing. In Device Manager, open Ports, then the "
               "adapter, Properties, Port Settings, Advanced, and choose its COM Port Number. Then %1.")
        .arg(next.retry);
}

// A device's permissions are not in the way of a Windows user.
QString joinGroup(const DeviceFacts &) { return {}; }

QString newAdapter(const NextStep &) { return {}; }

// Windows offers no login on a COM port.
QString freeConsole(const DeviceFacts &) { return {}; }

}  // namespace remedy
