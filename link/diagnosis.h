// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// What the system tells of a serial device that would not open.
struct DeviceFacts {
    QString device;                // its path
    bool exists = false;           // there is something at the path
    bool writable = false;         // this user may open it for writing
    QString owner;                 // the user who owns it, by name
    QString group;                 // the group that owns it, by name
    bool groupMayWrite = false;    // members of that group may write to it
    QString user;                  // this user's login name
    bool groupListsUser = false;   // the group database lists the user in that group
    bool sessionHasGroup = false;  // this process runs with that group
    bool refusedAsBusy = false;    // the open was refused although the user may write to it
    QStringList holders;           // programs seen holding it, as "name (process N)"
    bool probedOnPlugIn = false;   // a service of the system opens new adapters for a while (ModemManager)
    bool transient = false;        // the system's refusal may pass by itself: busy, gone, a USB adapter's error
    // What the device is, where the system tells it.
    bool notATerminal = false;  // no terminal at all, such as /dev/null
    bool noHardware = false;    // a terminal with no UART behind it
    QString console;            // the login console's name, "ttyS0", where the device is the console
    // Qt's lock for the device, where the open was refused at it: the lock
    // file, or no folder to make one in.
    bool lockRefused = false;
    QString lockFile;          // as Qt names it; empty where no folder of Qt's may hold it
    QStringList lockFolders;   // where Qt looks for it, in its order
    QString lockHolder;        // the live program that holds it, "pelorin (process 42)"
    QString lockOwner;         // the user who owns a lock left behind
    QStringList otherPorts;    // where it is missing: the ports the system has, as the system names them
    QStringList otherDevices;  // and their devices, in the same order, as --port takes them
    QString systemReason;      // the system's words for the failed open
};

// How a front end words the user's way to try again: the window's list of
// ports is opened again, a command is run again.
struct NextStep {
    QString retry;    // "open the port list again"
    QString restart;  // once a new login has given the user a group: "start pelorin again"
    // How to use a device that the system has under no port number, %1 the
    // device: "run the command again with --port %1". Empty where the front
    // end takes port numbers only.
    QString useDevice;
};

// Why a port cannot be used. The cause and the facts are the same for
// every front end; the text ends in the front end's own next step.
struct Diagnosis {
    enum Cause {
        None,            // it opened
        NoDevice,        // nothing there: counts as an absent port
        NoPermission,    // the user is not in the device's group
        NeedsNewLogin,   // the user was added to the group; this session predates it
        InUse,           // another program holds it
        OtherPortsOnly,  // nothing there, but the system has serial ports under other numbers
        LockLeftOver,    // a lock of a program that has ended, or no folder for one, which pelorin may not clear
        Console,         // the computer's login console
        NotASerialPort,  // no serial port that a board can hang on
        Other,
    };
    Cause cause = None;
    int port = 0;  // 0: a device given by its name, and named by it alone
    DeviceFacts facts;
    // A cause the user can do something about, worth a message of its own.
    bool actionable() const { return cause != None && cause != NoDevice; }
    // Whether the same attempt may work later with nothing changed on this
    // computer: a device plugged in or let go. Permission is not, nor a
    // lock left behind, nor a device that is no serial port.
    bool retryable() const;
    // In words that tell the user what to do.
    QString text(const NextStep &next) const;
    // For a list of devices: one word for the device's state (usable,
    // held, denied, absent), and the reason in a few words.
    QString stateWord() const;
    QString shortReason() const;
};

// `port` as the link was given it: 1 to 4, or 0 for a device given by name.
Diagnosis diagnose(int port, const DeviceFacts &facts);

// Reads the facts of a device whose open just failed from the system,
// without opening it again: on Unix its owner and mode, this user and the
// group database, lock files and the processes this user may see. Where
// the device is missing, the ports that are there instead: on Unix those
// of `known` that exist, the devices that the port map knows. `root` is the
// system's, or a test's tree of its own that holds the device.
DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused, const QStringList &known = {},
                        const QString &root = QStringLiteral("/"));

// Each platform's own remedies, in its file: empty where a cause does not
// arise on the platform.
namespace remedy {
// For a port number with no device while others are there: how to give
// the adapter that number.
QString renumber(const NextStep &next);
// For a user outside the device's group: how to join it.
QString joinGroup(const DeviceFacts &facts);
// For a device in use that may be a new adapter: what may be looking at it.
QString newAdapter(const NextStep &next);
// For a login console: how to free it for the board.
QString freeConsole(const DeviceFacts &facts);
}  // namespace remedy
