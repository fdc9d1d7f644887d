// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

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

// The system's ports as Device Manager lists them, "USB Serial Port (COM7)",
// in the order of their numbers. The registry's list of ports can hold
// ports that have gone.
QStringList systemPorts()
{
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    ports.removeIf([](const QSerialPortInfo &port) { return !present(port.portName()); });
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return comNumber(a.portName()) < comNumber(b.portName());
    });
    QStringList named;
    for (const QSerialPortInfo &port : ports) {
        const QString description = port.description().trimmed();
        named << (description.isEmpty() ? port.portName()
                                        : QStringLiteral("%1 (%2)").arg(description, port.portName()));
    }
    named.removeDuplicates();
    return named;
}

}  // namespace

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused)
{
    DeviceFacts facts;
    facts.device = device;
    facts.systemReason = systemReason;
    facts.writable = true;
    if (device.isEmpty())
        return facts;
    // Windows names no holder, and Qt's error for a held port varies: it is
    // "access denied" on Windows, where Wine may give a sharing violation
    // instead. The port itself tells which.
    const std::wstring path = (QStringLiteral("\\\\.\\") + device).toStdWString();
    HANDLE port = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = port == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (port != INVALID_HANDLE_VALUE)
        ::CloseHandle(port);
    facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME;
    facts.refusedAsBusy = refused || error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    if (!facts.exists)
        facts.otherPorts = systemPorts();
    return facts;
}
