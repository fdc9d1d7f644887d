// SPDX-License-Identifier: GPL-3.0-or-later
// pelorin on a computer with no display, where only the package without the
// window is installed: what the program links, what it says when asked for
// a window, and how it finds the window program where that is installed.
#include "child.h"
#include "link/seriallock.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList kNoDisplay{QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"),
                             QStringLiteral("QT_QPA_PLATFORM")};

// A copy of `program` at `path` under `root`, executable.
bool placeCopy(const QString &program, const QDir &root, const QString &path)
{
    const QString target = root.filePath(path);
    return QDir().mkpath(QFileInfo(target).path()) && QFile::copy(program, target)
           && QFile::setPermissions(target, QFile::permissions(program));
}

// The terminals, the board's pseudo-terminal among them, that a process
// holds open.
QStringList terminalsOpenIn(qint64 pid)
{
    QStringList terminals;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        if (target.startsWith(QLatin1String("/dev/pts/")))
            terminals.append(target);
    }
    terminals.removeDuplicates();
    return terminals;
}

}  // namespace

class TestHeadless : public QObject {
    Q_OBJECT
private slots:
    void linksNoGraphicalLibrary_data();
    void linksNoGraphicalLibrary();
    void withoutTheWindow_data();
    void withoutTheWindow();
    void boardWithoutTheWindow_data();
    void boardWithoutTheWindow();
    void findsTheWindow_data();
    void findsTheWindow();

private:
    // Starts a copy of pelorin alone in a folder, with no window program
    // beside it, with a display or none.
    bool startAlone(QProcess &pelorin, bool display, const QStringList &arguments);

    QTemporaryDir m_dir;
};

bool TestHeadless::startAlone(QProcess &pelorin, bool display, const QStringList &arguments)
{
    const QDir alone(m_dir.path());
    if (!alone.exists(QStringLiteral("pelorin")) && !placeCopy(QStringLiteral(PELORIN_BINARY), alone, "pelorin"))
        return false;
    pelorin.setProcessEnvironment(display ? environmentWith({{"QT_QPA_PLATFORM", "offscreen"}})
                                          : environmentWith({}, kNoDisplay));
    pelorin.setWorkingDirectory(alone.path());
    pelorin.start(alone.filePath(QStringLiteral("pelorin")), arguments);
    return pelorin.waitForStarted();
}

void TestHeadless::linksNoGraphicalLibrary_data()
{
    QTest::addColumn<QString>("library");
    for (const char *library : {"libQt6Gui", "libQt6Widgets", "libQt6OpenGL", "libQt6DBus", "libGL", "libEGL", "libX11",
                                "libxcb", "libwayland"})
        QTest::newRow(library) << QString::fromLatin1(library);
}

void TestHeadless::linksNoGraphicalLibrary()
{
    QFETCH(QString, library);
    QProcess readelf;
    readelf.start(QStringLiteral("readelf"), {QStringLiteral("-d"), QStringLiteral(PELORIN_BINARY)});
    QVERIFY2(readelf.waitForFinished(), "readelf did not run: it comes with binutils");
    QCOMPARE(readelf.exitCode(), 0);
    const QString needed = QString::fromLocal8Bit(readelf.readAllStandardOutput());
    // A dynamic section that readelf could not read would hold nothing.
    QVERIFY2(needed.contains(QLatin1String("[libQt6Core.so")), qPrintable(needed));
    QVERIFY2(!needed.contains(QLatin1Char('[') + library), qPrintable(needed));
}

void TestHeadless::withoutTheWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    const QString noDisplay = QStringLiteral("pelorin: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is "
                                             "set); start it from a desktop session.\n");
    const QString noWindow = QStringLiteral("pelorin: the window is in the package pelorin-gui, which is not "
                                            "installed here; install it with: sudo apt install pelorin-gui.\n");
    QTest::newRow("nothing, no display") << QStringList() << false << 1 << noDisplay;
    QTest::newRow("a virtual board, no display") << QStringList{"--virtual-board"} << false << 1 << noDisplay;
    QTest::newRow("a file, no display") << QStringList{"set.mes"} << false << 1 << noDisplay;
    QTest::newRow("nothing") << QStringList() << true << 2 << noWindow;
    QTest::newRow("a virtual board") << QStringList{"--virtual-board"} << true << 2 << noWindow;
    QTest::newRow("a file") << QStringList{"set.mes"} << true << 2 << noWindow;
    QTest::newRow("a mistake first") << QStringList{"--frobnicate"} << false << 2 << QString();
    QTest::newRow("the version") << QStringList{"--version"} << false << 0 << QString();
}

void TestHeadless::withoutTheWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QProcess pelorin;
    QVERIFY(startAlone(pelorin, display, arguments));
    QVERIFY(pelorin.waitForFinished(5000));
    QCOMPARE(pelorin.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pelorin.exitCode(), exitCode);
    const QString errors = QString::fromLocal8Bit(pelorin.readAllStandardError());
    if (!said.isEmpty())
        QCOMPARE(errors, said);
    else if (exitCode == 0)
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
    else
        QVERIFY2(errors.contains(QLatin1String("usage: pelorin")), qPrintable(errors));
}

void TestHeadless::boardWithoutTheWindow_data()
{
    QTest::addColumn<bool>("display");
    QTest::addColumn<QString>("why");
    QTest::newRow("no display") << false << QStringLiteral("There is no display: what arrives is reported here.");
    QTest::newRow("no window") << true
                               << QStringLiteral("There is no window here: the window is in the package pelorin-gui, "
                                                 "which is not installed here; install it with: sudo apt install "
                                                 "pelorin-gui; what arrives is reported here.");
}

void TestHeadless::boardWithoutTheWindow()
{
    QFETCH(bool, display);
    QFETCH(QString, why);
    QProcess board;
    QVERIFY(startAlone(board, display, {QStringLiteral("--virtual-board-only")}));
    QString output;
    for (int i = 0; i < 50 && !output.contains(QLatin1String("Ctrl-C")); ++i) {
        board.waitForReadyRead(100);
        output += QString::fromLocal8Bit(board.readAllStandardOutput());
    }
    const bool running = board.state() == QProcess::Running;
    board.terminate();
    board.waitForFinished();
    QVERIFY2(running, qPrintable(output + board.readAllStandardError()));
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("^pelorin: the virtual board is on /dev/\\S+$"),
                                                QRegularExpression::MultilineOption)),
             qPrintable(output));
    QVERIFY2(output.contains(why), qPrintable(output));
}

void TestHeadless::findsTheWindow_data()
{
    QTest::addColumn<QString>("window");
    // As the packages install the two programs, and as a build folder holds
    // them.
    QTest::newRow("installed") << QStringLiteral("usr/libexec/pelorin/pelorin-gui");
    QTest::newRow("beside it") << QStringLiteral("usr/bin/pelorin-gui");
}

void TestHeadless::findsTheWindow()
{
    QFETCH(QString, window);
    QTemporaryDir tree;
    QVERIFY(placeCopy(QStringLiteral(PELORIN_BINARY), QDir(tree.path()), "usr/bin/pelorin"));
    QVERIFY(placeCopy(QStringLiteral(PELORIN_WINDOW_BINARY), QDir(tree.path()), window));

    QProcess pelorin;
    pelorin.setProcessEnvironment(environmentWith({{"QT_QPA_PLATFORM", "offscreen"}}));
    pelorin.start(tree.filePath(QStringLiteral("usr/bin/pelorin")), {QStringLiteral("--virtual-board")});
    QVERIFY(pelorin.waitForStarted());
    // The window program runs in pelorin's own process, which goes on
    // running as the editor. How soon it gets there is the machine's
    // affair; a loaded one may take seconds.
    const QString expected = QFileInfo(tree.filePath(window)).canonicalFilePath();
    QString running;
    QStringList ports;
    bool ended = false;
    QDeadlineTimer deadline(30000);
    while (!(ended = pelorin.waitForFinished(100)) && !deadline.hasExpired()) {
        running = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pelorin.processId())).symLinkTarget();
        ports = terminalsOpenIn(pelorin.processId());
        if (running == expected && !ports.isEmpty())
            break;
    }
    // Ended as a logout ends it, the window closes its port and removes the
    // port's lock, which would otherwise refuse the port to any other user.
    pelorin.terminate();
    const bool quit = pelorin.waitForFinished(10000);
    if (!quit)
        pelorin.kill();
    pelorin.waitForFinished();
    QVERIFY2(!ended, pelorin.readAllStandardError().constData());
    QCOMPARE(running, expected);
    QVERIFY(quit);
    QCOMPARE(pelorin.exitStatus(), QProcess::NormalExit);
    QVERIFY2(!ports.isEmpty(), "the window opened no port of the board's");
    for (const QString &port : ports)
        QVERIFY2(!QFile::exists(serialLockPath(port)), qPrintable(serialLockPath(port)));
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
