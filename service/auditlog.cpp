// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/auditlog.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono;

bool AuditLog::record(Clock::time_point at, const QString &account, const QString &address, const QString &event,
                      const QString &detail)
{
    const QString when =
        QDateTime::fromMSecsSinceEpoch(duration_cast<milliseconds>(at.time_since_epoch()).count(), Qt::UTC)
            .toString(Qt::ISODate);
    QJsonObject entry{{"time", when}, {"account", account}, {"address", address}, {"event", event}};
    if (!detail.isEmpty())
        entry.insert(QLatin1String("detail"), detail.left(kDetailLength));
    const QByteArray entryLine = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    const QByteArray path = QFile::encodeName(m_folder + QStringLiteral("/log"));
    struct stat status {};
    if (::stat(path.constData(), &status) == 0 && status.st_size + entryLine.size() > kFileBytes) {
        if (::rename(path.constData(), path + ".1") != 0)
            return false;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    // A line that a power cut left unfinished is ended first, so that it
    // takes no entry after it down with it.
    QByteArray line = entryLine;
    char last = '\n';
    if (::fstat(fd, &status) == 0 && status.st_size > 0 && ::pread(fd, &last, 1, status.st_size - 1) == 1
        && last != '\n')
        line.prepend('\n');
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == ssize_t(line.size()) && ::fsync(fd) == 0;
    ::close(fd);
    return written;
}

QList<QJsonObject> AuditLog::entries(int most) const
{
    QList<QJsonObject> found;
    for (const QString &name : {QStringLiteral("/log.1"), QStringLiteral("/log")}) {
        QFile file(m_folder + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // A line that a power cut left unfinished is no entry.
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            if (!entry.isEmpty())
                found.append(entry);
        }
    }
    return found.mid(qMax<qsizetype>(0, found.size() - most));
}
