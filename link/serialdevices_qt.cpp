// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serialdevices.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

// Unix systems other than Linux: the devices that Qt finds, in the order
// of their names.
QList<SerialDevice> serialDevices(const QString &)
{
    QList<SerialDevice> found;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        SerialDevice serial;
        serial.device = info.systemLocation();
        serial.product = info.description();
        serial.maker = info.manufacturer();
        serial.serialNumber = info.serialNumber();
        serial.state = QStringLiteral("usable");
        found << serial;
    }
    std::sort(found.begin(), found.end(),
              [](const SerialDevice &a, const SerialDevice &b) { return deviceNameLess(a.device, b.device); });
    for (int i = 0; i < std::min<int>(4, int(found.size())); ++i)
        found[i].port = i + 1;
    return found;
}

bool devicePresent(const QString &device) { return QFileInfo::exists(device); }

DeviceNature deviceNature(const QString &, const QString &) { return {}; }
