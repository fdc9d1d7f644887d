// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// Qt's serial ports on Unix take a lock file before they open a device,
// and refuse the device while another program's lock stands. These find
// that lock as Qt itself does, so that a refusal can be explained by the
// very file that caused it.

// The folders Qt looks in for serial lock files, in its order.
QStringList serialLockFolders();

// Where Qt keeps the lock for `device`, as it was given to Qt: named after
// that path, not after the device that a link leads to, in the first of
// its folders where the lock already is or that this user may write. Empty
// where no folder will do, and Qt then refuses every device.
QString serialLockPath(const QString &device);

// A lock file as the system holds it.
struct SerialLock {
    bool exists = false;
    qint64 pid = 0;   // the process that took it
    QString program;  // the program it names, where it names one
    // Its process still runs the program it names (QLockFile's own rule; a
    // lock of the older kind, a number alone, by its process alone), or
    // cannot be told from one that does.
    bool live = false;
    QString holder;          // for a live lock: "pelorin (process 42)"
    QString owner;           // the user who owns the file
    bool removable = false;  // this user may remove it: its own, in a folder it may write
};

SerialLock inspectSerialLock(const QString &path);
