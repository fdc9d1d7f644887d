// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

#include "link/serialdevices.h"

QStringList systemSerialDevices()
{
    QStringList devices;
    for (const SerialDevice &serial : serialDevices()) {
        if (!serial.leftOut())
            devices << serial.device;
    }
    return devices;
}

QString systemDeviceName(const QString &given)
{
    const bool path =
        given.startsWith(u'/') || given.startsWith(QLatin1String("./")) || given.startsWith(QLatin1String("../"));
    return path ? given : QStringLiteral("/dev/") + given;
}
