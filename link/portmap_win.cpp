// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

// Port n is COMn, as it was for the program this one replaces and in the
// files it wrote.
QStringList systemSerialDevices()
{
    return {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")};
}
