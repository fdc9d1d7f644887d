// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <windows.h>

bool Comm::openDevice(QSerialPort &serial)
{
    // Wine, where this was seen, refuses a serial port opened for writing
    // alone: its serial calls need read access. The link still reads
    // nothing: a small buffer, never emptied, stops Qt from reading on
    // behind it.
    serial.setReadBufferSize(64);
    return serial.open(QIODevice::ReadWrite);
}

// Qt's own close: Windows gives no way to keep the port open past it, and
// the command line flushes what the port holds before it closes.
void Comm::closeDevice(QSerialPort &serial) { serial.close(); }

bool Comm::waitUntilSent(qintptr handle, QString *error)
{
    // For a serial port this returns once the driver has sent what it holds.
    if (::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)))
        return true;
    *error = qt_error_string(int(::GetLastError()));
    return false;
}
