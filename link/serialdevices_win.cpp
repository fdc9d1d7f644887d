// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serialdevices.h"

#include <QSerialPortInfo>

#include <windows.h>

#include <algorithm>

bool devicePresent(const QString &device)
{
    wchar_t target[512];
    return ::QueryDosDeviceW(reinterpret_cast<const wchar_t *>(device.utf16()), target, 512) != 0;
}

// The ports as Device Manager lists them, "USB Serial Port (COM7)", in the
// order of their numbers; COM1 to COM4 are ports 1 to 4. The registry's
// list of ports can hold ports that have gone.
QList<SerialDevice> serialDevices(const QString &)
{
    QList<SerialDevice> found;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const QString name = info.portName();
        if (!devicePresent(name) || std::any_of(found.cbegin(), found.cend(), [&](const SerialDevice &known) {
                return known.device == name;
            }))
            continue;
        SerialDevice serial;
        serial.device = name;
        // As Device Manager names it.
        const QString friendly = info.description().trimmed();
        serial.product = friendly.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(friendly, name);
        serial.maker = info.manufacturer().trimmed();
        serial.serialNumber = info.serialNumber();
        serial.state = QStringLiteral("usable");
        for (int n = 1; n <= 4; ++n) {
            if (name == QStringLiteral("COM%1").arg(n))
                serial.port = n;
        }
        found << serial;
    }
    std::sort(found.begin(), found.end(),
              [](const SerialDevice &a, const SerialDevice &b) { return deviceNameLess(a.device, b.device); });
    return found;
}

// A COM port is always a serial port, and whether it is on USB does not
// change what pelorin says of it.
DeviceNature deviceNature(const QString &, const QString &) { return {}; }
