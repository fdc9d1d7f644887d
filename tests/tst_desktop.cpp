// SPDX-License-Identifier: GPL-3.0-or-later
// The real pelorin binary under a virtual X server, as a person sees it.
#include "child.h"
#include "ptyboard.h"

#include "cli/commandline.h"
#include "link/serialdevices.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

class TestDesktop : public QObject {
    Q_OBJECT
private slots:
    void init();
    void commandLine_data();
    void commandLine();
    void windowAsAPersonSeesIt();
    void closingTheWindowDuringAnUpload();
    void startUpExplainsAPortItMayNotUse();

private:
    // Runs tests/desktop.sh on the built binary; returns what it printed.
    QString runDesktop(const QStringList &portArguments = {},
                       const QString &binary = QStringLiteral(PELORIN_WINDOW_BINARY),
                       const QMap<QString, QString> &settings = {});
    QString shot() const { return m_dir->filePath(QStringLiteral("shot.png")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestDesktop::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestDesktop::runDesktop(const QStringList &portArguments, const QString &binary,
                                const QMap<QString, QString> &settings)
{
    QProcess desktop;
    desktop.setProcessEnvironment(environmentWith(settings));
    desktop.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A group of its own, so that a script given up on takes its X server
    // and the program with it, rather than leaving them running.
    desktop.setChildProcessModifier([] { ::setsid(); });
    desktop.start(QStringLiteral(PELORIN_SOURCE_DIR "/tests/desktop.sh"), QStringList{binary, shot()} + portArguments);
    if (!desktop.waitForFinished(120000)) {
        ::kill(-pid_t(desktop.processId()), SIGKILL);
        desktop.waitForFinished();
    }
    const QString output = QString::fromLocal8Bit(desktop.readAllStandardOutput());
    if (desktop.exitStatus() != QProcess::NormalExit || desktop.exitCode() != 0)
        return QStringLiteral("desktop.sh failed: ") + output;
    return output;
}

void TestDesktop::windowAsAPersonSeesIt()
{
    const QString output = runDesktop();
    QVERIFY2(output.contains("WINDOW 354x524"), qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression("EXIT 0 \\d+")), qPrintable(output));

    // The screenshot shows a drawn window, not an empty screen.
    const QImage image(shot());
    QVERIFY(!image.isNull());
    QSet<QRgb> colours;
    for (int y = 0; y < 524; y += 2) {
        for (int x = 0; x < 354; x += 2)
            colours.insert(image.pixel(x, y));
    }
    QVERIFY2(colours.size() >= 8, qPrintable(QString::number(colours.size())));
}

namespace {

// The serial device a pseudo-terminal can stand in for, in a private mount
// namespace; empty, with the reason, where it cannot.
QString standInDevice(const char **whyNot)
{
    // A console too: in the namespace, it is none.
    const QString device = serialDevices().value(0).device;
    *whyNot = ::geteuid() != 0   ? "standing a pseudo-terminal in for a serial device needs root"
              : device.isEmpty() ? "this machine reports no serial device to stand a pseudo-terminal in for"
                                 : nullptr;
    return device;
}

}  // namespace

void TestDesktop::closingTheWindowDuringAnUpload()
{
    const char *whyNot = nullptr;
    const QString device = standInDevice(&whyNot);
    if (whyNot)
        QSKIP(whyNot);

    PtyBoard board;
    const QString output = runDesktop({board.path(), device});

    QVERIFY2(output.contains("WINDOW 354x524"), qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression("EXIT 0 \\d+")), qPrintable(output));
    const long long ms = output.section("EXIT 0 ", 1).trimmed().toLongLong();
    qInfo("the process ended %lld ms after its window was closed, with %lld characters sent", ms,
          qlonglong(board.received().size()));
    QVERIFY(ms < 2000);
    // Some of the upload went out, and it stopped where it was.
    const QByteArray received = board.received();
    QVERIFY2(received.size() >= 3 && received.size() < 20, received.constData());
    QVERIFY(QByteArray("1\r0\rmessage 1\r2\r0\rmessage 2\r").startsWith(received));
}

// A user outside the group of the board's device learns at start-up what
// to do: the program shows a message beside its window.
void TestDesktop::startUpExplainsAPortItMayNotUse()
{
    const char *whyNot = nullptr;
    const QString device = standInDevice(&whyNot);
    if (whyNot)
        QSKIP(whyNot);
    const group *dialout = ::getgrnam("dialout");
    if (!dialout)
        QSKIP("this machine has no group dialout");

    PtyBoard board;
    QCOMPARE(::chown(qPrintable(board.path()), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(qPrintable(board.path()), 0660), 0);
    // nobody may reach neither the build folder nor a private checkout,
    // nor the sanitizers' files in it; the screen's authority file goes
    // beside the screenshot.
    const OtherUser nobody;
    QVERIFY2(nobody.problem().isEmpty(), qPrintable(nobody.problem()));
    const QString binary = nobody.copyIn(QStringLiteral(PELORIN_WINDOW_BINARY));
    QVERIFY(!binary.isEmpty());
    QCOMPARE(::chmod(qPrintable(m_dir->path()), 0755), 0);

    const QString output = runDesktop({board.path(), device, QStringLiteral("nobody")}, binary, nobody.settings());
    QVERIFY2(output.contains("WINDOW 354x524"), qPrintable(output));
    QVERIFY2(output.contains("WINDOWS 2"), qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression("EXIT 0 \\d+")), qPrintable(output));
}

void TestDesktop::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");  // -1: still running, with its window
    QTest::newRow("none") << QStringList() << -1;
    QTest::newRow("a good file") << QStringList{"good.mes"} << -1;
    QTest::newRow("a virtual board and a file") << QStringList{"--virtual-board", "good.mes"} << -1;
    QTest::newRow("a missing file") << QStringList{"missing.mes"} << -1;
    QTest::newRow("two files") << QStringList{"good.mes", "good.mes"} << 2;
    QTest::newRow("an unknown option") << QStringList{"--frobnicate"} << 2;
    QTest::newRow("help") << QStringList{"--help"} << 0;
    QTest::newRow("version") << QStringList{"--version"} << 0;
    QTest::newRow("a virtual board and two files") << QStringList{"--virtual-board", "good.mes", "good.mes"} << 2;
    QTest::newRow("a toolkit option") << QStringList{"-platform", "offscreen"} << 2;
    QTest::newRow("an empty name") << QStringList{""} << 2;
    QTest::newRow("a port with no --send") << QStringList{"--port", "1", "good.mes"} << 2;
    QTest::newRow("quiet with no --send") << QStringList{"--quiet"} << 2;
    QTest::newRow("--send to the virtual board") << QStringList{"--send", "good.mes", "--virtual-board"} << 2;
    QTest::newRow("--send with a second file") << QStringList{"--send", "good.mes", "good.mes"} << 2;
    QTest::newRow("--send twice") << QStringList{"--send", "good.mes", "--send", "good.mes"} << 2;
    QTest::newRow("a port above 4") << QStringList{"--send", "good.mes", "--port", "5"} << 2;
    QTest::newRow("a port of two digits") << QStringList{"--send", "good.mes", "--port", "01"} << 2;
    QTest::newRow("the virtual board alone") << QStringList{"--virtual-board-only"} << -1;
    QTest::newRow("the ports") << QStringList{"--list-ports"} << 0;
    QTest::newRow("the ports for a script") << QStringList{"--list-ports", "--porcelain"} << 0;
    QTest::newRow("porcelain alone") << QStringList{"--porcelain"} << 2;
    QTest::newRow("the ports and a file") << QStringList{"--list-ports", "good.mes"} << 2;
}

void TestDesktop::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    QFile good(dir.filePath(QStringLiteral("good.mes")));
    QVERIFY(good.open(QIODevice::WriteOnly)
            && good.write(QByteArray("x\r\n").repeated(9) + QByteArray("0\r\n").repeated(8) + "1\r\n") > 0);
    good.close();

    QProcess pelorin;
    pelorin.setProcessEnvironment(environmentWith({{"QT_QPA_PLATFORM", "offscreen"}}));
    pelorin.setWorkingDirectory(dir.path());
    pelorin.start(QStringLiteral(PELORIN_BINARY), arguments);
    QVERIFY(pelorin.waitForStarted());
    const bool ended = pelorin.waitForFinished(exitCode < 0 ? 1500 : 5000);
    const QByteArray errors = pelorin.readAllStandardError();
    if (exitCode < 0) {
        QVERIFY2(!ended, errors.constData());
        pelorin.kill();
        pelorin.waitForFinished();
        return;
    }
    QVERIFY(ended);
    QCOMPARE(pelorin.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pelorin.exitCode(), exitCode);
    const QByteArray output = pelorin.readAllStandardOutput();
    if (exitCode == 0) {
        // Help, version and the ports go to standard output; what the
        // ports are depends on the machine, and a script's lines have five
        // fields each.
        QVERIFY(errors.isEmpty());
        if (arguments.first() == QLatin1String("--list-ports")) {
            QVERIFY(output.endsWith('\n'));
            for (const QByteArray &line : output.chopped(1).split('\n'))
                QVERIFY2(arguments.size() == 1 || line.count('\t') == 4, output.constData());
            return;
        }
        QVERIFY2(output.startsWith(arguments.first() == QLatin1String("--help") ? "usage: pelorin" : "pelorin 1."),
                 output.constData());
        return;
    }
    QVERIFY2(errors.endsWith(kUsage), errors.constData());
    QVERIFY(output.isEmpty());
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
