// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/serialdevices.h"

#include <QString>

// pelorin --list-ports [--porcelain]: which device is which port, with the
// name that stays with an adapter, for a person or, with --porcelain, for
// a script: a device a line, five fields between tabs, "-" for an empty
// one: the port number, the device, the stable name, the state word and
// the description. Those fields keep their meaning from one version to the
// next.
QString listPortsText(const QList<SerialDevice> &devices, bool porcelain);

// Prints the system's serial devices, their states assessed for this user.
int listPorts(bool porcelain);
