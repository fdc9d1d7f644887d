// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include <QCoreApplication>
#include <QSerialPortInfo>

#include <windows.h>

#include <algorithm>

namespace {

int comNumber(const QString &name) { return name.mid(3).toInt(); }

// Whether the system has a device of that name now, asked without opening
// it: an open can change a port's control lines.
bool present(const QString &name)
{
    wchar_t target[512];
    return ::QueryDosDeviceW(reinterpret_cast<const wchar_t *>(name.utf16()), target, 512) != 0;
}

}  // namespace

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused, const QStringList &)
{
    DeviceFacts facts;
    facts.device = device;
    facts.systemReason = systemReason;
    facts.writable = true;
    facts.exists = !device.isEmpty() && present(device);
    // Windows names no holder. A port that another program holds is
    // refused as "access denied", which Qt calls a permission error; Wine
    // may give a sharing violation instead, whose own words then say it.
    facts.refusedAsBusy = facts.exists && refused;
    if (facts.exists)
        return facts;
    // The system's ports as Device Manager lists them, "USB Serial Port
    // (COM7)", in the order of their numbers. The registry's list of ports
    // can hold ports that have gone.
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    ports.removeIf([](const QSerialPortInfo &port) { return !present(port.portName()); });
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return comNumber(a.portName()) < comNumber(b.portName());
    });
    for (const QSerialPortInfo &port : ports) {
        if (facts.otherDevices.contains(port.portName()))
            continue;
        const QString description = port.description().trimmed();
        facts.otherDevices << port.portName();
        facts.otherPorts << (description.isEmpty() ? port.portName()
                                                   : QStringLiteral("%1 (%2)").arg(description, port.portName()));
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

}  // namespace remedy
