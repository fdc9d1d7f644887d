#include "child.h"

#include "rig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

namespace {

// Port 1 and 2 on the devices given. Once the window is up, the second is
// made unusable for this user, then picked.
int pickChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString first = QString::fromLocal8Bit(argv[2]);
    const QString second = QString::fromLocal8Bit(argv[3]);
    Rig rig([&](int port) { return port == 1 ? first : port == 2 ? second : absentDevice(port); });
    if (!QFile::setPermissions(second, QFileDevice::Permissions()))
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
    Rig rig([](int port) { return absentDevice(port); });
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

ChildResult startChild(const QStringList &arguments, std::function<void()> inChild)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    if (inChild)
        child.setChildProcessModifier(inChild);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
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

long long childFigure(const QString &output, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^%1 (\\d+)$").arg(QRegularExpression::escape(key)),
                                  QRegularExpression::MultilineOption);
    const auto match = line.match(output);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}
