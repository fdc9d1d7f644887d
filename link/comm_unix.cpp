// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <cerrno>
#include <termios.h>

bool Comm::openDevice(QSerialPort &serial) { return serial.open(QIODevice::WriteOnly); }

bool Comm::drain()
{
    if (!m_serial.isOpen()) {
        m_error = tr("the port is not open");
        return false;
    }
    int rc;
    do
        rc = ::tcdrain(int(m_serial.handle()));
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_error = qt_error_string(errno);
        return false;
    }
    return true;
}
