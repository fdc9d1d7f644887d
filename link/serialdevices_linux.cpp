// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serialdevices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("SerialDevices", text); }

QByteArray attribute(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

// The USB device above a terminal, where there is one.
QString usbDeviceOf(const QString &ttyFolder)
{
    QDir up(QFileInfo(ttyFolder + QStringLiteral("/device")).canonicalFilePath());
    for (int level = 0; level < 4 && !up.isRoot() && !up.path().isEmpty(); ++level, up.cdUp()) {
        if (up.exists(QStringLiteral("idVendor")))
            return up.path();
    }
    return {};
}

// The product, its maker and its serial number, as the adapter reports
// them.
void describe(SerialDevice &serial, const QString &ttyFolder)
{
    const QString usb = usbDeviceOf(ttyFolder);
    if (usb.isEmpty())
        return;
    const QDir up(usb);
    serial.product = QString::fromUtf8(attribute(up.filePath(QStringLiteral("product"))));
    serial.maker = QString::fromUtf8(attribute(up.filePath(QStringLiteral("manufacturer"))));
    serial.serialNumber = QString::fromUtf8(attribute(up.filePath(QStringLiteral("serial"))));
}

// A terminal with hardware behind it; a UART slot of the 8250 driver with
// nothing fitted says so by its type, 0.
bool hasHardware(const QString &ttyFolder)
{
    return QFileInfo::exists(ttyFolder + QStringLiteral("/device"))
           && attribute(ttyFolder + QStringLiteral("/type")) != "0";
}

// The consoles that the kernel writes to and a login may be offered on.
bool isConsole(const QString &ttys, const QByteArray &name)
{
    const QList<QByteArray> consoles = attribute(ttys + QStringLiteral("/console/active")).split(' ');
    return consoles.contains(name)
           || attribute(ttys + QLatin1Char('/') + QString::fromLocal8Bit(name) + QStringLiteral("/console")) == "Y";
}

// The names that udev gives adapters under /dev/serial/by-id/, by the
// name of the device each leads to.
QHash<QString, QString> stableNames(const QString &root)
{
    QHash<QString, QString> names;
    const QDir byId(QDir(root).filePath(QStringLiteral("dev/serial/by-id")));
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(link.canonicalFilePath()).fileName();
        if (!target.isEmpty())
            names.insert(target, QStringLiteral("/dev/serial/by-id/") + link.fileName());
    }
    return names;
}

}  // namespace

QList<SerialDevice> serialDevices(const QString &root)
{
    // The kernel's own list, read directly: asking udev through Qt reads a
    // file of every terminal the system has, virtual ones included, and
    // costs more than the rest of start-up together. The folder is read
    // with plain readdir: Qt's listing stats each of its many entries
    // first, which more than doubled the time of this look.
    const QDir rootDir(root);
    const QString ttys = rootDir.filePath(QStringLiteral("sys/class/tty"));
    QList<SerialDevice> found;
    DIR *folder = opendir(QFile::encodeName(ttys).constData());
    if (!folder)
        return found;
    while (const dirent *entry = readdir(folder)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.'))
            continue;
        const QString sys = ttys + QLatin1Char('/') + QString::fromLocal8Bit(name);
        // A terminal is a serial port when hardware stands behind it.
        if (!hasHardware(sys))
            continue;
        const QString device = QStringLiteral("/dev/") + QString::fromLocal8Bit(name);
        if (!rootDir.exists(device.mid(1)))
            continue;
        SerialDevice serial;
        serial.device = device;
        serial.state = QStringLiteral("usable");
        if (isConsole(ttys, name)) {
            serial.state = QStringLiteral("console");
            serial.why = tr("login console");
        } else if (!QDir(sys).entryList({QStringLiteral("hci*")}, QDir::Dirs).isEmpty()) {
            // Bluetooth's line discipline puts its adapter under the
            // terminal that it holds.
            serial.state = QStringLiteral("bluetooth");
            serial.why = tr("held by Bluetooth");
        }
        describe(serial, sys);
        found << serial;
    }
    closedir(folder);
    const QHash<QString, QString> stable = stableNames(root);
    for (SerialDevice &serial : found)
        serial.stableName = stable.value(serial.device.mid(5));
    std::sort(found.begin(), found.end(), [](const SerialDevice &a, const SerialDevice &b) {
        if (a.leftOut() != b.leftOut())
            return b.leftOut();
        return deviceNameLess(a.device, b.device);
    });
    int port = 0;
    for (SerialDevice &serial : found) {
        if (!serial.leftOut() && ++port <= 4)
            serial.port = port;
    }
    return found;
}

bool devicePresent(const QString &device) { return QFileInfo::exists(device); }

DeviceNature deviceNature(const QString &device, const QString &root)
{
    DeviceNature nature;
    // Through a stable name, to the device it leads to.
    const QFileInfo info(device);
    const QString target = info.canonicalFilePath();
    if (target.isEmpty())
        return nature;
    const QDir rootDir(root);
    const QString ttys = rootDir.filePath(QStringLiteral("sys/class/tty"));
    const QString name = QFileInfo(target).fileName();
    const QString sys = ttys + QLatin1Char('/') + name;
    if (!name.isEmpty() && QFileInfo::exists(sys)) {
        nature.name = name;
        nature.hardware = hasHardware(sys);
        nature.console = isConsole(ttys, QFile::encodeName(name));
        nature.usb = !usbDeviceOf(sys).isEmpty();
        return nature;
    }
    // Not among the terminals by name: the kernel's entry for the device's
    // number tells what it is. A pseudo-terminal has none, and stands in
    // for a board in tests and rehearsals.
    struct stat st {};
    if (::stat(QFile::encodeName(target).constData(), &st) != 0)
        return nature;
    if (!S_ISCHR(st.st_mode)) {
        nature.terminal = false;
        return nature;
    }
    const QString byNumber =
        rootDir.filePath(QStringLiteral("sys/dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
    const QString subsystem = QFileInfo(QFileInfo(byNumber + QStringLiteral("/subsystem")).symLinkTarget()).fileName();
    if (!subsystem.isEmpty() && subsystem != QLatin1String("tty"))
        nature.terminal = false;
    return nature;
}
