// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

#include <functional>

// How the editor's port numbers become devices: the devices of ports 1, 2,
// 3, ... in order, as one look at the system finds them. The window is
// given one of these, so that other maps (a test's pseudo-terminals) can
// stand in. A port beyond the list, or with an empty entry, has no device.
using PortMap = std::function<QStringList()>;

// Linux and the other Unix systems: port n is the n-th serial device that
// serialDevices() lists, so a lone USB adapter is port 1. Windows: port n
// is COMn. Each platform has its own file.
QStringList systemSerialDevices();

// A device given by name (pelorin --send --port NAME), as the system opens
// it and as messages name it. Unix: a bare name is under /dev/, as Qt takes
// it ("ttyS0" is /dev/ttyS0). Windows: "COM7" for "com7" and "\\.\COM7".
QString systemDeviceName(const QString &given);
