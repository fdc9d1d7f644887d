// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

bool Comm::openDevice(QSerialPort &serial) { return serial.open(QIODevice::WriteOnly); }

// Qt's close puts back the line settings from before the open at once,
// while the system may still hold characters for the board, which would
// then leave at that other speed; a USB adapter may even take the new
// speed before the bytes already sent to it. So Qt closes a stand-in, and
// the device itself is closed by the system's last close, which lets what
// it holds leave first, on a thread of its own, as that close waits.
void Comm::closeDevice(QSerialPort &serial)
{
    const int fd = int(serial.handle());
    const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    const int standIn = kept < 0 ? -1 : ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (standIn < 0 || ::dup3(standIn, fd, O_CLOEXEC) < 0) {
        for (const int spare : {standIn, kept}) {
            if (spare >= 0)
                ::close(spare);
        }
        serial.close();
        return;
    }
    ::close(standIn);
    // Qt's claim to the device alone goes with its close, so that the
    // next open, this program's own included, is not refused as busy.
    ::ioctl(kept, TIOCNXCL);
    serial.close();
    std::thread([kept] { ::close(kept); }).detach();
}

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
