// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

// How the editor's port numbers 1..4 become devices. The window is given one
// of these, so that other maps (a test's pseudo-terminals) can stand in.
// An empty result means the port has no device.
using PortMap = std::function<QString(int port)>;

// Linux and the other Unix systems: port n is the n-th serial device the
// system reports, in the order of their paths, so a lone USB adapter is
// port 1. Windows: port n is COMn.
QString systemSerialDevice(int port);
