// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/statefolder.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a write cut short leaves: "NAME.new-PID".
const QRegularExpression kLeftOver(QStringLiteral("\\.new-\\d+$"));

// What a file that could not be read is moved aside as, beside it.
const QString kUnreadable = QStringLiteral(".unreadable-");

bool syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

}  // namespace

QString StateFolder::locate(const QString &given)
{
    const QString systemd = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!systemd.isEmpty())
        return systemd;
    if (!given.isEmpty())
        return given;
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(xdg))
        return xdg + QStringLiteral("/pelorin");
    return QDir::homePath() + QStringLiteral("/.local/state/pelorin");
}

bool StateFolder::isPlainName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QChar(0)))
        return false;
    for (const QString &part : name.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
            || part.startsWith(QLatin1Char('.')) || kLeftOver.match(part).hasMatch())
            return false;
    }
    return true;
}

bool StateFolder::fail(const QString &what, int error)
{
    m_error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)));
    return false;
}

bool StateFolder::open()
{
    if (!QDir().mkpath(m_path))
        return fail(QStringLiteral("cannot make the state folder %1").arg(m_path), errno);
    if (::chmod(QFile::encodeName(m_path).constData(), 0700) != 0 && errno != EPERM)
        return fail(QStringLiteral("cannot keep the state folder %1 private").arg(m_path), errno);
    if (::access(QFile::encodeName(m_path).constData(), R_OK | W_OK | X_OK) != 0)
        return fail(QStringLiteral("cannot write in the state folder %1").arg(m_path), errno);
    QDirIterator::IteratorFlags flags = QDirIterator::Subdirectories;
    for (QDirIterator it(m_path, QDir::Files | QDir::Hidden, flags); it.hasNext();) {
        const QString file = it.next();
        if (kLeftOver.match(file).hasMatch())
            QFile::remove(file);
    }
    return true;
}

QByteArray StateFolder::read(const QString &name, bool *exists)
{
    if (exists)
        *exists = false;
    if (!isPlainName(name)) {
        m_error = QStringLiteral("%1 is no name of the state folder's").arg(name);
        return {};
    }
    QFile file(m_path + QLatin1Char('/') + name);
    if (!file.exists())
        return QByteArray("");
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return {};
    }
    if (exists)
        *exists = true;
    QByteArray bytes = file.readAll();
    return bytes.isNull() ? QByteArray("") : bytes;
}

bool StateFolder::held(const QString &name)
{
    if (!m_held.contains(name))
        return false;
    m_error = QStringLiteral("%1 could not be read, and could not be moved aside: it is not written over until it "
                             "is mended (see the server's first lines)")
                  .arg(name);
    return true;
}

bool StateFolder::write(const QString &name, const QByteArray &bytes)
{
    if (!isPlainName(name)) {
        m_error = QStringLiteral("%1 is no name of the state folder's").arg(name);
        return false;
    }
    if (held(name))
        return false;
    const QString target = m_path + QLatin1Char('/') + name;
    const QString folder = QFileInfo(target).path();
    if (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0)
        return fail(QStringLiteral("cannot make %1").arg(folder), errno);
    const QString temporary = target + QStringLiteral(".new-%1").arg(::getpid());
    const QByteArray temporaryName = QFile::encodeName(temporary);
    const int fd = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail(QStringLiteral("cannot write %1").arg(target), errno);
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporaryName.constData(), QFile::encodeName(target).constData()) != 0) {
        const int error = written ? errno : writeError;
        ::unlink(temporaryName.constData());
        return fail(QStringLiteral("cannot write %1").arg(target), error);
    }
    if (!syncFolder(folder))
        return fail(QStringLiteral("cannot sync %1").arg(folder), errno);
    return true;
}

bool StateFolder::remove(const QString &name)
{
    if (!isPlainName(name)) {
        m_error = QStringLiteral("%1 is no name of the state folder's").arg(name);
        return false;
    }
    if (held(name))
        return false;
    const QString target = m_path + QLatin1Char('/') + name;
    if (::unlink(QFile::encodeName(target).constData()) != 0 && errno != ENOENT)
        return fail(QStringLiteral("cannot remove %1").arg(target), errno);
    return syncFolder(QFileInfo(target).path()) || fail(QStringLiteral("cannot sync %1").arg(m_path), errno);
}

QStringList StateFolder::list(const QString &subfolder, const QString &suffix) const
{
    QStringList names;
    const QDir dir(m_path + QLatin1Char('/') + subfolder);
    for (const QString &file : dir.entryList({QLatin1Char('*') + suffix}, QDir::Files, QDir::Name)) {
        if (isPlainName(file))
            names << file;
    }
    return names;
}

bool StateFolder::giveToFolderOwner(const QString &name)
{
    struct stat folder {};
    const QByteArray path = QFile::encodeName(m_path + QLatin1Char('/') + name);
    if (::stat(QFile::encodeName(m_path).constData(), &folder) != 0)
        return fail(QStringLiteral("cannot read %1").arg(m_path), errno);
    if (::lchown(path.constData(), folder.st_uid, folder.st_gid) != 0)
        return fail(QStringLiteral("cannot give %1 to the state folder's owner").arg(name), errno);
    return true;
}

QString StateFolder::parseJson(const QByteArray &bytes, QJsonValue::Type shape, QJsonDocument *document)
{
    if (bytes.trimmed().isEmpty())
        return QStringLiteral("it is empty");
    QJsonParseError parsed{};
    *document = QJsonDocument::fromJson(bytes, &parsed);
    if (parsed.error != QJsonParseError::NoError)
        return QStringLiteral("it is not whole JSON: %1 at byte %2").arg(parsed.errorString()).arg(parsed.offset);
    if (shape == QJsonValue::Array && !document->isArray())
        return QStringLiteral("it holds no list");
    if (shape == QJsonValue::Object && !document->isObject())
        return QStringLiteral("it holds no object");
    return {};
}

QString StateFolder::asideName(const QString &path)
{
    // Never over an earlier copy, even one of the same second.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + kUnreadable + stamp;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + kUnreadable + stamp + QLatin1Char('-') + QString::number(n);
    return aside;
}

QStringList StateFolder::copiesOf(const QString &name) const
{
    const QFileInfo target(m_path + QLatin1Char('/') + name);
    return QDir(target.path()).entryList({target.fileName() + kUnreadable + QLatin1Char('*')}, QDir::Files, QDir::Name);
}

bool StateFolder::readWhole(const QString &name, const Reader &reader, const QString &advice)
{
    if (!isPlainName(name)) {
        m_error = QStringLiteral("%1 is no name of the state folder's").arg(name);
        return false;
    }
    const QString then = QStringLiteral("Then delete that copy.");
    QStringList &said = m_problems[name];
    said.clear();
    m_held.removeAll(name);
    // Copies kept at an earlier start: said again until someone deletes
    // them, as what they held is still missing.
    const QFileInfo target(m_path + QLatin1Char('/') + name);
    QStringList earlier = copiesOf(name);
    bool exists = false;
    const QByteArray bytes = read(name, &exists);
    Reading reading;
    if (bytes.isNull())
        reading.why = m_error;
    else if (!exists)
        reading = Reading();
    else if (bytes.isEmpty())
        reading.why = QStringLiteral("it is empty");
    else
        reading = reader(bytes);

    // Read, but for records left out: the file as it was is copied aside
    // before anything can write over it, unless a copy of an earlier start
    // holds it already (the server has not written it since).
    QString copied;
    if (reading.why.isEmpty() && !reading.leftOut.isEmpty()) {
        for (const QString &copy : earlier) {
            QFile file(target.path() + QLatin1Char('/') + copy);
            if (file.open(QIODevice::ReadOnly) && file.readAll() == bytes) {
                copied = file.fileName();
                earlier.removeAll(copy);
                break;
            }
        }
    }
    // A file read again since (root's setup code) is said as it was found.
    for (const QString &copy : earlier) {
        const QString path = target.path() + QLatin1Char('/') + copy;
        said << m_saidOfCopy.value(
            path, QStringLiteral("%1 could not be read at an earlier start, and was kept aside as it was, in %2. %3 %4")
                      .arg(name, path, advice, then));
    }
    if (reading.why.isEmpty() && reading.leftOut.isEmpty())
        return true;

    const QString aside = asideName(target.filePath());
    if (reading.why.isEmpty()) {
        const QString what = reading.leftOut.join(QStringLiteral("; "));
        if (copied.isEmpty()) {
            const QString copy = aside.mid(m_path.size() + 1);
            if (!write(copy, bytes)) {
                m_held << name;
                said << QStringLiteral("%1 holds what cannot be read (%2), which the server goes without; it cannot "
                                       "keep a copy of the file aside (%3), so it writes nothing over it. %4")
                            .arg(name, what, m_error, advice);
                return true;
            }
            copied = aside;
        }
        said << QStringLiteral("%1 holds what cannot be read (%2), which the server goes without; the rest is read. "
                               "The file as it was is kept aside, in %3, where nothing writes over it. %4 %5")
                    .arg(name, what, copied, advice, then);
        m_saidOfCopy.insert(copied, said.last());
        return true;
    }

    if (::rename(QFile::encodeName(target.filePath()).constData(), QFile::encodeName(aside).constData()) != 0) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        m_held << name;
        said << QStringLiteral("%1 cannot be read (%2), nor moved aside (%3), so the server writes nothing over it. "
                               "%4")
                    .arg(name, reading.why, error, advice);
        return false;
    }
    syncFolder(target.path());
    said << QStringLiteral("%1 cannot be read (%2), so it was moved aside, to %3, where nothing writes over it. %4 %5")
                .arg(name, reading.why, aside, advice, then);
    m_saidOfCopy.insert(aside, said.last());
    return false;
}

QStringList StateFolder::problems() const
{
    QStringList all;
    for (const QStringList &said : m_problems)
        all << said;
    return all;
}
