// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>

QString systemSerialDevice(int port)
{
    if (port < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    QStringList devices;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();
    std::sort(devices.begin(), devices.end());
    return port <= devices.size() ? devices.at(port - 1) : QString();
#endif
}
