// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include "link/serialdevices.h"
#include "link/seriallock.h"
#include "model/systemreason.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

QString described(qint64 pid)
{
    const QString name = processName(pid);
    return name.isEmpty() ? QString() : QStringLiteral("%1 (process %2)").arg(name).arg(pid);
}

// The programs whose lock files stand for the device: Qt's lock, named
// after the path Qt was given, and the lock of the older serial programs
// (minicom and the like), named after the device itself.
QStringList lockHolders(const QString &device, const QString &target)
{
    QStringList holders;
    QStringList paths{serialLockPath(device)};
    const QString older = QStringLiteral("/LCK..") + QFileInfo(target).fileName();
    for (const QString &folder : serialLockFolders())
        paths << folder + older;
    paths.removeDuplicates();
    for (const QString &path : std::as_const(paths)) {
        const SerialLock lock = inspectSerialLock(path);
        if (lock.live && lock.pid != ::getpid())
            holders << lock.holder;
    }
    return holders;
}

// ModemManager opens every new serial device for a while to see whether it
// is a modem.
bool modemManagerRuns()
{
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.front().isDigit() && processName(entry.toLongLong()) == QLatin1String("ModemManager"))
            return true;
    }
    return false;
}

// Whether the system's words for the failure are those of `error`: Qt
// words the refusal of an open with the system's own text for its number.
bool saidAs(const QString &reason, int error) { return reason == systemReason(qt_error_string(error)); }

// Processes that have the device open, among those this user may look into;
// `target` is its path with every link resolved, as /proc shows it.
QStringList openHolders(const QString &target)
{
    QStringList holders;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == ::getpid())
            continue;
        const QDir fds(proc.filePath(entry + QStringLiteral("/fd")));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == target) {
                holders << described(pid);
                break;
            }
        }
    }
    return holders;
}

}  // namespace

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused, const QStringList &known,
                        const QString &root)
{
    DeviceFacts facts;
    facts.device = device;
    facts.systemReason = systemReason;
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    facts.exists = !device.isEmpty() && ::stat(path.constData(), &st) == 0;
    if (!facts.exists) {
        for (const QString &other : known) {
            if (!other.isEmpty() && other != device && QFileInfo::exists(other))
                facts.otherDevices << other;
        }
        facts.otherPorts = facts.otherDevices;
        return facts;
    }
    facts.writable = ::access(path.constData(), W_OK) == 0;
    facts.refusedAsBusy = refused && facts.writable;
    const DeviceNature nature = deviceNature(device, root);
    facts.notATerminal = !nature.terminal;
    facts.noHardware = !nature.hardware;
    if (nature.console)
        facts.console = nature.name;
    facts.probedOnPlugIn = nature.usb && modemManagerRuns();
    // An adapter on USB that fails may be pulled out and in again, or
    // settle; a device that is gone or busy may be back or free later.
    facts.transient =
        nature.usb || saidAs(systemReason, ENODEV) || saidAs(systemReason, EBUSY) || saidAs(systemReason, EAGAIN);
    facts.groupMayWrite = (st.st_mode & S_IWGRP) != 0;
    if (const passwd *owner = ::getpwuid(st.st_uid))
        facts.owner = QString::fromLocal8Bit(owner->pw_name);
    const passwd *pw = ::getpwuid(::geteuid());
    if (pw) {
        facts.user = QString::fromLocal8Bit(pw->pw_name);
        facts.groupListsUser = pw->pw_gid == st.st_gid;
    }
    if (const group *g = ::getgrgid(st.st_gid)) {
        facts.group = QString::fromLocal8Bit(g->gr_name);
        for (char **member = g->gr_mem; pw && *member; ++member)
            facts.groupListsUser = facts.groupListsUser || qstrcmp(*member, pw->pw_name) == 0;
    }
    std::vector<gid_t> groups(size_t(std::max(0, ::getgroups(0, nullptr))));
    groups.resize(size_t(std::max(0, ::getgroups(int(groups.size()), groups.data()))));
    facts.sessionHasGroup = ::getegid() == st.st_gid;
    for (gid_t g : groups)
        facts.sessionHasGroup = facts.sessionHasGroup || g == st.st_gid;
    if (facts.writable) {
        // A stable name such as /dev/serial/by-id/... is a link: programs
        // open the device it leads to.
        const QString target = QFileInfo(device).canonicalFilePath();
        facts.holders = lockHolders(device, target) + openHolders(target);
        facts.holders.removeAll(QString());
        facts.holders.removeDuplicates();
    }
    if (facts.refusedAsBusy) {
        // Qt refuses a device whose lock it cannot take as it refuses a
        // busy one. A lock there now that is not this program's is the one
        // that stood in the way: Qt removes its own lock when an open fails.
        facts.lockFolders = serialLockFolders();
        facts.lockFile = serialLockPath(device);
        const SerialLock lock = inspectSerialLock(facts.lockFile);
        if (facts.lockFile.isEmpty()) {
            facts.lockRefused = true;
        } else if (lock.exists && lock.pid != ::getpid() && (lock.live || !lock.removable)) {
            facts.lockRefused = true;
            facts.lockHolder = lock.live ? lock.holder : QString();
            facts.lockOwner = lock.owner;
        }
    }
    return facts;
}

namespace remedy {

// Ports are numbered in the order of their devices, so no adapter can be
// given a number of the user's choosing.
QString renumber(const NextStep &) { return {}; }

QString joinGroup(const DeviceFacts &facts)
{
    return QCoreApplication::translate("Diagnosis", "To use it, run this command, then log out and in again:\n\n"
                                                    "    sudo usermod -aG %1 %2")
        .arg(facts.group, facts.user);
}

QString newAdapter(const NextStep &next)
{
    return QCoreApplication::translate("Diagnosis", "If the adapter was plugged in just now, ModemManager may be "
                                                    "checking it, which takes a few seconds: %1 in a moment.")
        .arg(next.retry);
}

QString freeConsole(const DeviceFacts &facts)
{
    return QCoreApplication::translate(
               "Diagnosis",
               "To give it to the board, turn the serial console off, then restart the computer. On a Raspberry Pi: "
               "sudo raspi-config, Interface Options, Serial Port, no login shell, with the serial port hardware "
               "left on. Elsewhere: remove console=%1 from the kernel's command line (GRUB_CMDLINE_LINUX in "
               "/etc/default/grub, then sudo update-grub).")
        .arg(facts.console);
}

}  // namespace remedy
