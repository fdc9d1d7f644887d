// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// The lock files that serial programs leave, in the places they use; each
// begins with the holder's process number.
QStringList lockHolders(const QString &device)
{
    QStringList holders;
    const QString name = QStringLiteral("LCK..") + QFileInfo(device).fileName();
    for (const char *dir : {"/var/lock", "/run/lock", "/var/spool/lock", "/tmp"}) {
        QFile lock(QDir(QLatin1String(dir)).filePath(name));
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const qint64 pid = lock.read(64).trimmed().split('\n').value(0).trimmed().toLongLong(&ok);
        if (ok && pid > 0 && pid != ::getpid())
            holders << described(pid);
    }
    return holders;
}

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

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused, const QStringList &known)
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
#ifdef Q_OS_LINUX
    facts.probedOnPlugIn = true;
#endif
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
        // A process gone since it wrote its lock has no name, and one may
        // both lock and hold the device. A stable name such as
        // /dev/serial/by-id/... is a link: the holders lock and open the
        // device it leads to.
        const QString target = QFileInfo(device).canonicalFilePath();
        facts.holders = lockHolders(target) + openHolders(target);
        facts.holders.removeAll(QString());
        facts.holders.removeDuplicates();
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
#ifdef Q_OS_LINUX
    return QCoreApplication::translate("Diagnosis", "If the adapter was plugged in just now, ModemManager may be "
                                                    "checking it, which takes a few seconds: %1 in a moment.")
        .arg(next.retry);
#else
    Q_UNUSED(next);
    return {};
#endif
}

}  // namespace remedy
