// SPDX-License-Identifier: GPL-3.0-or-later
#include "child.h"

#include "rig.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Port 1 and 2 on the devices given. Once the window is up, the second is
// made unusable for this user, then picked.
int pickChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString first = QString::fromLocal8Bit(argv[2]);
    const QString second = QString::fromLocal8Bit(argv[3]);
    Rig rig([&] { return withAbsentAfter({first, second}); });
    if (!QFile::setPermissions(second, QFileDevice::ReadGroup | QFileDevice::WriteGroup))
        return 4;
    rig.pick(QStringLiteral("2"));
    for (const QString &text : rig.prompts.told)
        std::printf("%s\n", qPrintable(text));
    std::printf("open %d\n", rig.comm()->portOpen() ? 1 : 0);
    return 0;
}

}  // namespace

int runChildMode(int argc, char **argv)
{
    if (argc < 3)
        return -1;
    const QByteArray mode = argv[1];
    if (mode == "--pick-child" && argc == 4)
        return pickChild(argc, argv);
    if (mode != "--save-child" && mode != "--load-child")
        return -1;

    QApplication app(argc, argv);
    Rig rig([] { return withAbsentAfter({}); });
    const QString path = QString::fromLocal8Bit(argv[2]);
    QElapsedTimer clock;
    if (mode == "--save-child") {
        rig.prompts.saveAnswers << path;
        rig.prompts.overwriteAnswers << true;
        rig.box(1)->setText(QStringLiteral("CHANGED"));
        clock.start();
        rig.window->Command3_Click();
    } else {
        rig.prompts.openAnswers << path;
        clock.start();
        rig.window->Command2_Click();
    }
    const qint64 ms = clock.elapsed();
    for (const QString &text : rig.prompts.told)
        std::printf("%s\n", qPrintable(text));
    // VmHWM starts afresh with the program; getrusage's figure would carry
    // the parent's memory over from the fork.
    QFile status(QStringLiteral("/proc/self/status"));
    long long peakKb = -1;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peakKb = line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    std::printf("peak %lld\nms %lld\n", peakKb, static_cast<long long>(ms));
    return 0;
}

QProcessEnvironment environmentWith(const QMap<QString, QString> &settings, const QStringList &unset)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = settings.begin(); it != settings.end(); ++it)
        env.insert(it.key(), it.value());
    for (const QString &name : unset)
        env.remove(name);
    return env;
}

namespace {

ChildResult run(const QString &program, const QStringList &arguments, const std::function<void()> &inChild,
                const QMap<QString, QString> &settings = {})
{
    QProcess child;
    QMap<QString, QString> offscreen{{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")}};
    offscreen.insert(settings);
    child.setProcessEnvironment(environmentWith(offscreen));
    if (inChild)
        child.setChildProcessModifier(inChild);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, arguments);
    ChildResult result;
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
        return result;
    }
    result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    result.output = QString::fromLocal8Bit(child.readAllStandardOutput());
    return result;
}

}  // namespace

ChildResult startChild(const QStringList &arguments, std::function<void()> inChild)
{
    return run(QCoreApplication::applicationFilePath(), arguments, inChild);
}

OtherUser::OtherUser()
{
    if (::geteuid() != 0)
        return;
    const passwd *nobody = ::getpwnam("nobody");
    m_uid = nobody ? long(nobody->pw_uid) : 65534;
    m_gid = nobody ? long(nobody->pw_gid) : 65534;
    // /tmp is open to everyone, whatever the checkout's folders are.
    char folder[] = "/tmp/pelorin-child-XXXXXX";
    if (!::mkdtemp(folder) || ::chmod(folder, 0755) != 0) {
        m_problem =
            QStringLiteral("cannot make a folder in /tmp: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_folder = QString::fromLocal8Bit(folder);
    m_executable = m_folder + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!QFile::copy(QCoreApplication::applicationFilePath(), m_executable)
        || ::chmod(QFile::encodeName(m_executable).constData(), 0755) != 0)
        m_problem = QStringLiteral("cannot copy the test program to %1").arg(m_folder);
    // The sanitizers' suppression files lie in the checkout too, and a
    // sanitizer that cannot read them ends the program at once.
    static const QRegularExpression suppressions(QStringLiteral("suppressions=([^:]+)"));
    for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        QString options = qEnvironmentVariable(name);
        const QRegularExpressionMatch match = suppressions.match(options);
        if (!match.hasMatch())
            continue;
        const QString copy = m_folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".supp");
        if (!QFile::copy(match.captured(1), copy) || ::chmod(QFile::encodeName(copy).constData(), 0644) != 0)
            m_problem = QStringLiteral("cannot copy %1 to %2").arg(match.captured(1), m_folder);
        m_settings[QLatin1String(name)] = options.replace(match.capturedStart(1), match.capturedLength(1), copy);
    }
}

QString OtherUser::copyIn(const QString &program) const
{
    if (!isSomeoneElse())
        return program;
    const QString copy = m_folder + QLatin1Char('/') + QFileInfo(program).fileName();
    if (!QFile::copy(program, copy) || ::chmod(QFile::encodeName(copy).constData(), 0755) != 0)
        return {};
    return copy;
}

OtherUser::~OtherUser()
{
    if (!m_folder.isEmpty())
        QDir(m_folder).removeRecursively();
}

ChildResult OtherUser::start(const QStringList &arguments, std::function<void()> inChild) const
{
    if (!isSomeoneElse())
        return startChild(arguments, inChild);
    const gid_t gid = gid_t(m_gid);
    const uid_t uid = uid_t(m_uid);
    return run(
        m_executable, arguments,
        [gid, uid, inChild] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(3);
            if (inChild)
                inChild();
        },
        m_settings);
}

long long childFigure(const QString &output, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^%1 (\\d+)$").arg(QRegularExpression::escape(key)),
                                  QRegularExpression::MultilineOption);
    const auto match = line.match(output);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}
