// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

QStringList systemSerialDevices()
{
#if defined(Q_OS_WIN)
    return {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")};
#elif defined(Q_OS_LINUX)
    // The kernel's own list, read directly: asking udev through Qt reads a
    // file of every terminal the system has, virtual ones included, and
    // costs more than the rest of start-up together. A terminal is a serial
    // port when hardware stands behind it; a UART slot of the 8250 driver
    // with nothing fitted says so by its type, 0.
    QStringList devices;
    const QDir ttys(QStringLiteral("/sys/class/tty"));
    for (const QString &name : ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        if (!QFileInfo::exists(ttys.filePath(name + QStringLiteral("/device"))))
            continue;
        QFile type(ttys.filePath(name + QStringLiteral("/type")));
        if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0")
            continue;
        const QString device = QStringLiteral("/dev/") + name;
        if (QFileInfo::exists(device))
            devices << device;
    }
    std::sort(devices.begin(), devices.end());
    return devices;
#else
    QStringList devices;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();
    std::sort(devices.begin(), devices.end());
    return devices;
#endif
}
