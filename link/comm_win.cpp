// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <windows.h>

bool Comm::openDevice(QSerialPort &serial)
{
    // Windows' serial calls need read access, so a port opened for writing
    // alone is refused. The link still reads nothing: a small buffer, never
    // emptied, stops Qt from reading on behind it.
    serial.setReadBufferSize(64);
    return serial.open(QIODevice::ReadWrite);
}

bool Comm::drain()
{
    if (!m_serial.isOpen()) {
        m_error = tr("the port is not open");
        return false;
    }
    // For a serial port this returns once the driver has sent what it holds.
    if (!::FlushFileBuffers(m_serial.handle())) {
        m_error = qt_error_string(int(::GetLastError()));
        return false;
    }
    return true;
}
