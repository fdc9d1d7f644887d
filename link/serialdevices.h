// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

// One serial device as the system shows it: what pelorin --list-ports
// prints a line of, and the window's port list shows as a tooltip.
struct SerialDevice {
    int port = 0;        // the port number it is, 1 to 4; 0 for none
    QString device;      // as the system opens it: /dev/ttyUSB0, COM7
    QString stableName;  // a name that stays with the adapter: /dev/serial/by-id/...
    QString product;     // as the system names it: "FT232R USB UART"; on Windows "USB Serial Port (COM7)"
    QString maker;
    QString serialNumber;
    QString state;  // one word: usable, console, bluetooth, held, denied
    QString why;    // for any state but usable, in a few words: "login console"

    bool leftOut() const { return state == QLatin1String("console") || state == QLatin1String("bluetooth"); }
    // The device, and its stable name where it has one, a line each.
    QString label() const;
    // "FT232R USB UART (FTDI, serial number A10K5ZQ1)", as far as the
    // system has it.
    QString description() const;
};

// The serial devices of the system whose root is `root` (a test's tree of
// its own): those that are ports, in the order of their numbers, then those
// left out, with why. Each platform has its own file. On Linux the kernel's
// own list is read: a port is a terminal with hardware behind it, not an
// empty slot of the 8250 driver, not a login console and not Bluetooth's,
// and ports are in the order of their names, the number at a name's end
// counted as a number. A lone USB adapter is then port 1, and so is a PC's
// own ttyS0.
QList<SerialDevice> serialDevices(const QString &root = QStringLiteral("/"));

// Fills in the states that depend on this user, as far as they can be told
// without opening a device (an open raises its control lines): denied or
// held, with the diagnosis's reason.
void assessAccess(QList<SerialDevice> &devices, const QString &root = QStringLiteral("/"));

// What the system shows of one device, found by its name.
SerialDevice serialDevice(const QString &device, const QString &root = QStringLiteral("/"));

// "ttyUSB10" as the text "ttyUSB" and the number 10, so that ttyUSB2 comes
// before ttyUSB10, and COM10 after COM9.
bool deviceNameLess(const QString &a, const QString &b);

// What a device is, as far as the system tells without opening it.
struct DeviceNature {
    QString name;          // the kernel's name of the terminal behind it, "ttyS0"; empty where unknown
    bool terminal = true;  // false: no terminal at all, such as /dev/null or a plain file
    bool hardware =
        true;  // false: a terminal with no UART behind it: an empty slot of a UART driver, a virtual console
    bool console = false;  // the computer's login console
    bool usb = false;      // an adapter on USB, which may be pulled out and plugged in again
};

// Found by the device's path, through any link (a stable name), in the
// system whose root is `root`. Each platform has its own; where a platform
// cannot tell, a device is taken for a serial port.
DeviceNature deviceNature(const QString &device, const QString &root = QStringLiteral("/"));

// Whether the system has the device now, asked without opening it: an open
// can change a port's control lines.
bool devicePresent(const QString &device);
