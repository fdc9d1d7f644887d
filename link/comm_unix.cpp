// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <cerrno>
#include <termios.h>

bool Comm::openDevice(QSerialPort &serial) { return serial.open(QIODevice::WriteOnly); }

bool Comm::waitUntilSent(qintptr handle, QString *error)
{
    // A signal that lands on this thread breaks the wait off; the wait goes
    // on, as a stop is the event loop's to handle, and it ends the wait by
    // discarding the output.
    int rc;
    do
        rc = ::tcdrain(int(handle));
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        *error = qt_error_string(errno);
    return rc == 0;
}
