// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

#include <QFile>
#include <QSerialPortInfo>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <unistd.h>
#endif

QStringList systemSerialDevices()
{
#ifdef Q_OS_LINUX
    // The kernel's own list, read directly: asking udev through Qt reads a
    // file of every terminal the system has, virtual ones included, and
    // costs more than the rest of start-up together. A terminal is a serial
    // port when hardware stands behind it; a UART slot of the 8250 driver
    // with nothing fitted says so by its type, 0. The folder is read with
    // plain readdir: Qt's listing stats each of its many entries first,
    // which more than doubled the time of this look.
    QStringList devices;
    DIR *ttys = opendir("/sys/class/tty");
    if (!ttys)
        return devices;
    while (const dirent *entry = readdir(ttys)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.'))
            continue;
        const QByteArray sys = "/sys/class/tty/" + name;
        if (access((sys + "/device").constData(), F_OK) != 0)
            continue;
        QFile type(QString::fromLocal8Bit(sys + "/type"));
        if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0")
            continue;
        const QByteArray device = "/dev/" + name;
        if (access(device.constData(), F_OK) == 0)
            devices << QString::fromLocal8Bit(device);
    }
    closedir(ttys);
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

QString systemDeviceName(const QString &given)
{
    const bool path =
        given.startsWith(u'/') || given.startsWith(QLatin1String("./")) || given.startsWith(QLatin1String("../"));
    return path ? given : QStringLiteral("/dev/") + given;
}
