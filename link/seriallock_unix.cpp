// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/seriallock.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The program that a process runs, by its file's name, as QLockFile asks
// it: empty where the system does not say (another user's process). There
// QLockFile takes the lock for stale and tries to remove it; pelorin takes
// it for live, since telling someone to delete a lock in use would let two
// programs write to the board at once.
QString programOf(qint64 pid)
{
    QByteArray target = QFile::encodeName(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget());
    if (target.endsWith(" (deleted)"))
        target.chop(10);
    return QFileInfo(QFile::decodeName(target)).fileName();
}

// The short name the kernel keeps of any process this user may see.
QString commandOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
}

}  // namespace

QStringList serialLockFolders()
{
    // Qt's list ends with the temporary folder, /tmp most often, which it
    // has then looked in already.
    QStringList folders{QStringLiteral("/var/lock"),
                        QStringLiteral("/etc/locks"),
                        QStringLiteral("/var/spool/locks"),
                        QStringLiteral("/var/spool/uucp"),
                        QStringLiteral("/tmp"),
                        QStringLiteral("/var/tmp"),
                        QStringLiteral("/var/lock/lockdev"),
                        QStringLiteral("/run/lock"),
                        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    folders.removeDuplicates();
    return folders;
}

QString serialLockPath(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    name.prepend(QLatin1String("/LCK.."));
    for (const QString &folder : serialLockFolders()) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + name) || info.isWritable()))
            return folder + name;
    }
    return {};
}

SerialLock inspectSerialLock(const QString &path)
{
    SerialLock lock;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat st {};
    if (path.isEmpty() || ::lstat(encoded.constData(), &st) != 0)
        return lock;
    lock.exists = true;
    if (const passwd *pw = ::getpwuid(st.st_uid))
        lock.owner = QString::fromLocal8Bit(pw->pw_name);
    else
        lock.owner = QString::number(st.st_uid);
    // QLockFile opens a stale lock for writing before it removes it. A
    // folder with the sticky bit, as /run/lock and /tmp are, lets only the
    // file's owner remove it.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat folderSt {};
    const bool sticky = ::stat(folder.constData(), &folderSt) == 0 && (folderSt.st_mode & S_ISVTX) != 0;
    lock.removable = ::access(encoded.constData(), W_OK) == 0 && ::access(folder.constData(), W_OK) == 0
                     && (!sticky || st.st_uid == ::geteuid());

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Unreadable: nothing tells that it is stale.
        lock.live = true;
        return lock;
    }
    // QLockFile writes the process, the program, the host name and, since
    // Qt 5.10, the machine's and the boot's identities, a line each (the
    // program as its application name, which is its file's name unless
    // the program sets another); the
    // serial programs of old write the process's number alone.
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    lock.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || lock.pid <= 0) {
        lock.pid = 0;
        return lock;
    }
    const bool qtLock = lines.size() >= 3;
    if (qtLock)
        lock.program = QString::fromUtf8(lines.value(1));
    const QByteArray host = lines.value(2);
    const QByteArray hostId = lines.value(3).trimmed();
    const QByteArray bootId = lines.value(4).trimmed();
    const bool here = !hostId.isEmpty() ? hostId == QSysInfo::machineUniqueId()
                                        : host.isEmpty() || host == QSysInfo::machineHostName().toUtf8();
    if (qtLock && !here) {
        // Another computer's, on a shared folder: its process cannot be seen.
        lock.live = true;
        lock.holder = QStringLiteral("process %1 on %2").arg(lock.pid).arg(QString::fromUtf8(host));
        return lock;
    }
    if (!bootId.isEmpty() && bootId != QSysInfo::bootUniqueId())
        return lock;  // taken before the computer last started
    if (::kill(pid_t(lock.pid), 0) != 0 && errno == ESRCH)
        return lock;
    const QString running = programOf(lock.pid);
    QString named = lock.program;
    if (QFileInfo(named).isSymLink())
        named = QFileInfo(named).symLinkTarget();
    named = QFileInfo(named).fileName();
    // A process number used again by another program.
    if (!running.isEmpty() && !named.isEmpty() && running != named)
        return lock;
    lock.live = true;
    const QString name = running.isEmpty() ? commandOf(lock.pid) : running;
    lock.holder = name.isEmpty() ? QStringLiteral("process %1").arg(lock.pid)
                                 : QStringLiteral("%1 (process %2)").arg(name).arg(lock.pid);
    return lock;
}
