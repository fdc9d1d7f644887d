// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serialdevices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <dirent.h>
#include <unistd.h>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("SerialDevices", text); }

QByteArray attribute(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4096).trimmed() : QByteArray();
}

// The product, its maker and its serial number, from the USB device above
// the terminal, as the adapter reports them.
void describe(SerialDevice &serial, const QString &ttyFolder)
{
    QDir up(QFileInfo(ttyFolder + QStringLiteral("/device")).canonicalFilePath());
    for (int level = 0; level < 4 && !up.isRoot(); ++level, up.cdUp()) {
        if (up.exists(QStringLiteral("idVendor"))) {
            serial.product = QString::fromUtf8(attribute(up.filePath(QStringLiteral("product"))));
            serial.maker = QString::fromUtf8(attribute(up.filePath(QStringLiteral("manufacturer"))));
            serial.serialNumber = QString::fromUtf8(attribute(up.filePath(QStringLiteral("serial"))));
            return;
        }
    }
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
    // The consoles that the kernel writes to and a login may be offered on.
    const QList<QByteArray> consoles = attribute(ttys + QStringLiteral("/console/active")).split(' ');
    QList<SerialDevice> found;
    DIR *folder = opendir(QFile::encodeName(ttys).constData());
    if (!folder)
        return found;
    while (const dirent *entry = readdir(folder)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.'))
            continue;
        const QString sys = ttys + QLatin1Char('/') + QString::fromLocal8Bit(name);
        const QByteArray sysPath = QFile::encodeName(sys);
        // A terminal is a serial port when hardware stands behind it; a
        // UART slot of the 8250 driver with nothing fitted says so by its
        // type, 0.
        if (access((sysPath + "/device").constData(), F_OK) != 0 || attribute(sys + QStringLiteral("/type")) == "0")
            continue;
        const QString device = QStringLiteral("/dev/") + QString::fromLocal8Bit(name);
        if (!rootDir.exists(device.mid(1)))
            continue;
        SerialDevice serial;
        serial.device = device;
        serial.state = QStringLiteral("usable");
        if (consoles.contains(name) || attribute(sys + QStringLiteral("/console")) == "Y") {
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
