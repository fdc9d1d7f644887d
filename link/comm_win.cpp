// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

bool Comm::openDevice(QSerialPort &serial)
{
    // Windows' serial calls need read access, so a port opened for writing
    // alone is refused. The link still reads nothing: a small buffer, never
    // emptied, stops Qt from reading on behind it.
    serial.setReadBufferSize(64);
    return serial.open(QIODevice::ReadWrite);
}
