// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

namespace {

QString tr(const char *text) { return QCoreApplication::translate("Diagnosis", text); }

}  // namespace

Diagnosis diagnose(int port, const DeviceFacts &facts)
{
    const QString where = tr("Serial port %1 (%2)").arg(port).arg(facts.device);
    if (!facts.exists)
        return {Diagnosis::NoDevice, tr("%1 has no device.").arg(where)};

    // Joining the device's group helps only where the group may write.
    if (!facts.writable && facts.groupMayWrite && !facts.group.isEmpty() && !facts.sessionHasGroup) {
        if (facts.groupListsUser) {
            return {Diagnosis::NeedsNewLogin,
                    tr("%1 cannot be used yet. The device belongs to the group %2, and your user, %3, has been "
                       "added to that group, but this session started before that.\n\n"
                       "Log out and in again, or restart the computer, then start pelorin again.")
                        .arg(where, facts.group, facts.user)};
        }
        return {Diagnosis::NoPermission,
                tr("%1 cannot be used: you may not open it. The device belongs to the group %2, and your "
                   "user, %3, is not a member of it.\n\n"
                   "To use it, run this command, then log out and in again:\n\n"
                   "    sudo usermod -aG %2 %3")
                    .arg(where, facts.group, facts.user)};
    }

    if (facts.writable && (facts.refusedAsBusy || !facts.holders.isEmpty())) {
        const QString who = facts.holders.isEmpty()
                                ? tr("another program is using it")
                                : tr("another program is using it: %1").arg(facts.holders.join(QStringLiteral(", ")));
        return {Diagnosis::InUse,
                tr("%1 cannot be used: %2.\n\n"
                   "Close that program, then open the port list again. If the adapter was plugged in just now, "
                   "ModemManager may be checking it, which takes a few seconds: open the port list again in a "
                   "moment.")
                    .arg(where, who)};
    }
    const QString refused = tr("%1 cannot be opened: %2.").arg(where, facts.systemReason);
    if (!facts.writable && !facts.groupMayWrite && !facts.owner.isEmpty()) {
        return {Diagnosis::Other, refused + QStringLiteral("\n\n")
                                      + tr("It belongs to %1, and no group may write to it, so joining a group does "
                                           "not help. Ask the computer's administrator to let you use it.")
                                            .arg(facts.owner)};
    }
    return {Diagnosis::Other, refused};
}

#ifdef Q_OS_UNIX
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

// Processes that have the device open, among those this user may look into.
QStringList openHolders(const QString &device)
{
    QStringList holders;
    const QString target = QFileInfo(device).canonicalFilePath();
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
#endif

DeviceFacts gatherFacts(const QString &device, const QString &systemReason, bool refused)
{
    DeviceFacts facts;
    facts.device = device;
    facts.systemReason = systemReason;
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    facts.exists = !device.isEmpty() && ::stat(path.constData(), &st) == 0;
    if (!facts.exists)
        return facts;
    facts.writable = ::access(path.constData(), W_OK) == 0;
    facts.refusedAsBusy = refused && facts.writable;
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
        // both lock and hold the device.
        facts.holders = lockHolders(device) + openHolders(device);
        facts.holders.removeAll(QString());
        facts.holders.removeDuplicates();
    }
#else
    facts.exists = QFileInfo::exists(device) || device.startsWith(QLatin1String("COM"));
    facts.writable = true;
    facts.refusedAsBusy = refused;
#endif
    return facts;
}
