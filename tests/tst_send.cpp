// SPDX-License-Identifier: GPL-3.0-or-later
// pelorin --send, the real binary, run as a script runs it: no display, no
// window, standard error not a terminal.
#include "board/virtualboard.h"
#include "child.h"
#include "cli/sendcommand.h"
#include "eventloop.h"
#include "link/setsender.h"
#include "ptyboard.h"
#include "rig.h"
#include "samples.h"

#include "link/seriallock.h"
#include "link/upload.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <QElapsedTimer>

#include <csignal>
#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum BoardState { Free, Held, OtherGroup, LockLeftOver, NoLockFolder };

struct Sent {
    int exitCode = -1;
    bool bySignal = false;
    QString errors;
    QString output;
};

// The shortest set: nine empty messages, 44 characters on the wire.
const QByteArray kEmptySetFile = QByteArray("x\r\n").repeated(9) + QByteArray("0\r\n").repeated(8) + "1\r\n";

// Environment settings for pelorin with the stall library loaded: its log
// in `dir`, and `settings` beside it.
QMap<QString, QString> stalled(const QTemporaryDir &dir, QMap<QString, QString> settings = {})
{
    settings.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PELORIN_STALL_LIBRARY));
    settings.insert(QStringLiteral("STALL_LOG"), dir.filePath(QStringLiteral("stall.log")));
    // A sanitizer's runtime would insist on being loaded first.
    settings.insert(QStringLiteral("ASAN_OPTIONS"),
                    qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
    return settings;
}
QString stallLog(const QTemporaryDir &dir) { return QString::fromLocal8Bit(contentsOf(dir.filePath("stall.log"))); }

// The binary with none of a display's environment, from a folder that
// holds `file` as set.mes, started; `inChild` runs in the child before the
// program starts, with root's powers where the test has them.
void startSend(QProcess &pelorin, const QTemporaryDir &dir, const QByteArray &file, const QStringList &arguments,
               const QMap<QString, QString> &settings = {}, const std::function<void()> &inChild = {})
{
    if (!writeFile(dir.filePath(QStringLiteral("set.mes")), file))
        return;
    pelorin.setProcessEnvironment(environmentWith(settings, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}));
    pelorin.setWorkingDirectory(dir.path());
    // Root may open a device that another program holds, or one that its
    // mode closes to it; the sender may not, as any other user may not.
    pelorin.setChildProcessModifier([inChild] {
        if (inChild)
            inChild();
        for (const int capability : {CAP_SYS_ADMIN, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        // Where the system allows it, a core dump would be written.
        rlimit core{};
        if (::getrlimit(RLIMIT_CORE, &core) == 0) {
            core.rlim_cur = core.rlim_max;
            ::setrlimit(RLIMIT_CORE, &core);
        }
    });
    pelorin.start(QStringLiteral(PELORIN_BINARY), QStringList{"--send", "set.mes"} + arguments);
}

// As startSend, to its end; `whileRunning` runs the event loop until it
// returns true.
Sent sendFromScript(const QTemporaryDir &dir, const QByteArray &file, const QStringList &arguments,
                    const std::function<bool(QProcess &)> &whileRunning = {},
                    const QMap<QString, QString> &settings = {}, const std::function<void()> &inChild = {})
{
    Sent sent;
    QProcess pelorin;
    startSend(pelorin, dir, file, arguments, settings, inChild);
    if (!pelorin.waitForStarted())
        return sent;
    const auto ended = [&] { return pelorin.state() == QProcess::NotRunning; };
    runUntil([&] { return ended() || (whileRunning && whileRunning(pelorin)); }, 120000);
    runUntil(ended, 120000);
    sent.exitCode = pelorin.exitCode();
    sent.bySignal = pelorin.exitStatus() == QProcess::CrashExit;
    sent.errors = QString::fromLocal8Bit(pelorin.readAllStandardError());
    sent.output = QString::fromLocal8Bit(pelorin.readAllStandardOutput());
    return sent;
}

// A process number that no process has now: one that has just ended.
qint64 endedProcess()
{
    QProcess ended;
    ended.start(QStringLiteral("true"), QStringList());
    if (!ended.waitForStarted())
        return -1;
    const qint64 pid = ended.processId();
    ended.waitForFinished();
    return pid;
}

// The core dumps that the system would have left in `dir`, where it writes
// them as files in the folder of the process; an empty list elsewhere.
QStringList coreDumpsIn(const QTemporaryDir &dir)
{
    const QByteArray pattern = contentsOf(QStringLiteral("/proc/sys/kernel/core_pattern")).trimmed();
    if (pattern.isEmpty() || pattern.startsWith('|') || pattern.contains('/'))
        return {};
    const qsizetype fixed = pattern.contains('%') ? pattern.indexOf('%') : pattern.size();
    return QDir(dir.path()).entryList({QString::fromLocal8Bit(pattern.first(fixed)) + u'*'}, QDir::Files);
}

}  // namespace

class TestSend : public QObject {
    Q_OBJECT
private slots:
    void refused_data();
    void refused();
    void refusedWhileAnotherSends();
    void sendsWhatLoadAndSendWould();
    void stops_data();
    void stops();
    void endsAStuckDrain();
    void stopsDuringAFailingOpen();
    void progressLine_data();
    void progressLine();
    void virtualBoardWithNoDisplay();
};

void TestSend::refused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");  // "BOARD": the pseudo-terminal's path
    QTest::addColumn<int>("board");              // what stands in the way on the board's device
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QStringList>("neverSays");

    const QStringList toBoard{"--port", "BOARD"};
    QTest::newRow("a file that Load refuses")
        << withLine(12, "x") << toBoard << int(Free) << 1
        << QStringList{"Could not load set.mes: line 12", "Nothing was sent."} << QStringList{"sending"};
    QTest::newRow("a file with no port") << withLine(18, "") << QStringList() << int(Free) << 1
                                         << QStringList{"set.mes names no port", "--port"} << QStringList();
    QTest::newRow("a file with port 7") << withLine(18, "7") << QStringList() << int(Free) << 1
                                        << QStringList{"names port \"7\"", "--port"} << QStringList();
    // A pseudo-terminal is no USB adapter that ModemManager could be
    // looking at.
    QTest::newRow("a device another program holds")
        << kWorkedExampleFile << toBoard + QStringList{"--quiet"} << int(Held) << 75
        << QStringList{"BOARD cannot be used: another program is using it",
                       "Close that program, then run the "
                       "command again.",
                       "Nothing was sent."}
        << QStringList{"Serial port", "port list", "ModemManager"};
    // As root, every process holds /dev/null.
    QTest::newRow("a device that is no serial port")
        << kWorkedExampleFile << QStringList{"--port", "/dev/null"} << int(Free) << 1
        << QStringList{"/dev/null cannot be used: it is not a serial port (", "Check the device's name."}
        << QStringList{"another program", "ModemManager", "run the command again"};
    // An SSH session dropped under another user's send left its lock.
    QTest::newRow("a lock left behind by another user's program")
        << kWorkedExampleFile << toBoard << int(LockLeftOver) << 1
        << QStringList{"BOARD cannot be used: its lock file LOCK was left behind by a program that has ended",
                       "it belongs to ", "sudo rm LOCK", "then run the command again"}
        << QStringList{"another program", "ModemManager", "lock file for opening", "Permission error"};
    // Qt warns of this on its own; pelorin's words alone are said.
    QTest::newRow("no folder to make a lock in")
        << kWorkedExampleFile << toBoard << int(NoLockFolder) << 1
        << QStringList{"BOARD cannot be used: its lock file cannot be made", "/var/lock, ", "/tmp"}
        << QStringList{"another program", "Failed to create a lock file", "The following directories", "\t/var/lock"};
    QTest::newRow("a device that is not there")
        << kWorkedExampleFile << QStringList{"--port", "/dev/ttyUSB-pelorin-none"} << int(Free) << 75
        << QStringList{"/dev/ttyUSB-pelorin-none does not exist.", "check the device's name"}
        << QStringList{"Serial port"};
    // Named as the system names it, under /dev/ by itself.
    QTest::newRow("a device of a group the user is not in")
        << kWorkedExampleFile << QStringList{"--port", "BOARD-IN-DEV"} << int(OtherGroup) << 1
        << QStringList{"BOARD cannot be used: you may not open it", "sudo usermod -aG "} << QStringList{"exist"};
    // A stable name, as udev makes under /dev/serial/by-id/: a link.
    QTest::newRow("a stable name of a device of a group the user is not in")
        << kWorkedExampleFile << QStringList{"--port", "BY-ID"} << int(OtherGroup) << 1
        << QStringList{"BY-ID cannot be used: you may not open it", "sudo usermod -aG "} << QStringList{"exist"};
}

void TestSend::refused()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(int, board);
    QFETCH(QStringList, says);
    QFETCH(QStringList, neverSays);
    PtyBoard pty;
    if (board == Held)
        QVERIFY(pty.holdExclusively());
    if (board == OtherGroup) {
        // Writable by its group alone, which root leaves for one of no
        // use to it; a user's pseudo-terminals are usually of such a group.
        const QByteArray path = QFile::encodeName(pty.path());
        QVERIFY(::chmod(path.constData(), 0020) == 0);
        if (::geteuid() == 0)
            QVERIFY(::chown(path.constData(), uid_t(-1), gid_t(65534)) == 0);
        struct stat st {};
        QVERIFY(::stat(path.constData(), &st) == 0);
        if (st.st_gid == ::getegid() || ::group_member(st.st_gid))
            QSKIP("this system's pseudo-terminals belong to a group of this user's, and only root can change it");
    }
    const QString lock = serialLockPath(pty.path());
    const auto removeLock = qScopeGuard([&] {
        if (board == LockLeftOver)
            QFile::remove(lock);
    });
    if (board == NoLockFolder && ::geteuid() != 0)
        QSKIP("only root can make the lock folders read-only, in a mount namespace of the sender's own");
    if (board == LockLeftOver) {
        if (::geteuid() != 0)
            QSKIP("only root can leave a lock file of another user's");
        QVERIFY(!QFile::exists(lock));
        // As QLockFile writes it.
        QVERIFY(writeFile(lock, QByteArray::number(endedProcess()) + "\npelorin\n"
                                    + QSysInfo::machineHostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() + '\n'
                                    + QSysInfo::bootUniqueId() + '\n'));
        QVERIFY(::chown(QFile::encodeName(lock).constData(), 65534, 65534) == 0);
    }
    QTemporaryDir links;
    const QString byId = links.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K5ZQ1-if00-port0"));
    QVERIFY(QFile::link(pty.path(), byId));
    const auto named = [&](QString text) {
        return text.replace(QStringLiteral("BY-ID"), byId)
            .replace(QStringLiteral("LOCK"), lock)
            .replace(QStringLiteral("BOARD-IN-DEV"), pty.path().mid(5))
            .replace(QStringLiteral("BOARD"), pty.path());
    };
    for (QString &argument : arguments)
        argument = named(argument);
    QTemporaryDir dir;
    const Sent sent = sendFromScript(dir, file, arguments, {}, {}, [board] {
        if (board != NoLockFolder)
            return;
        // Every folder that Qt would keep a lock in, read-only for the
        // sender alone. Any failure here shows as a send that went ahead.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(120);
        for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp",
                                   "/var/lock/lockdev", "/run/lock"}) {
            if (::access(folder, F_OK) == 0
                && (::mount(folder, folder, nullptr, MS_BIND | MS_REC, nullptr) != 0
                    || ::mount(nullptr, folder, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0))
                ::_exit(121);
        }
        ::unsetenv("TMPDIR");
    });

    QVERIFY(!sent.bySignal);
    QFETCH(int, status);
    QVERIFY2(sent.exitCode == status, qPrintable(sent.errors));
    QVERIFY(sent.output.isEmpty());
    for (const QString &words : says)
        QVERIFY2(sent.errors.contains(named(words)), qPrintable(sent.errors));
    for (const QString &words : neverSays)
        QVERIFY2(!sent.errors.contains(words), qPrintable(sent.errors));
    QVERIFY(!pty.waitForBytes(1, 600));
}

// A second send to a board that a send is busy with, both through the
// board's stable name: the second is refused at Qt's lock, named after
// that link, and names the first with its lock.
void TestSend::refusedWhileAnotherSends()
{
    PtyBoard board;
    QTemporaryDir dirs[2];
    const QString byId = dirs[0].filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K5ZQ1-if00-port0"));
    QVERIFY(QFile::link(board.path(), byId));
    QProcess first;
    startSend(first, dirs[0], kWorkedExampleFile, {"--port", byId, "--quiet"});
    const auto stopFirst = qScopeGuard([&] {
        ::kill(pid_t(first.processId()), SIGTERM);
        runUntil([&] { return first.state() == QProcess::NotRunning; }, 10000);
    });
    QVERIFY(board.waitForBytes(1, 10000));
    const Sent second = sendFromScript(dirs[1], kWorkedExampleFile, {"--port", byId});

    QCOMPARE(second.exitCode, SendCommand::kTryAgain);
    const QString lock = serialLockPath(byId);
    QVERIFY2(QFileInfo(lock).fileName().startsWith(QStringLiteral("LCK.._")), qPrintable(lock));
    const QString holder = QStringLiteral("pelorin (process %1)").arg(first.processId());
    for (const QString &words : {QStringLiteral("%1 cannot be used: another program is using it: %2").arg(byId, holder),
                                 QStringLiteral("%1 holds its lock file %2.").arg(holder, lock)})
        QVERIFY2(second.errors.contains(words), qPrintable(second.errors));
    QVERIFY2(!second.errors.contains(QStringLiteral("left behind")), qPrintable(second.errors));
}

// To the virtual board on its own, as a user tries a script: it holds its
// device open and nothing more, so the sender reaches it. A message longer
// than its box is cut as Load cuts it, before a character beyond the BMP
// that would be split.
void TestSend::sendsWhatLoadAndSendWould()
{
    const QByteArray file = "x0123456789ABCDE\xF0\x9F\x98\x80xyz\r\n" + QByteArray("x\r\n").repeated(8)
                            + QByteArray("0\r\n").repeated(7) + "1\r\n" + "9\r\n";
    QTemporaryDir dir;
    Rig window([] { return withAbsentAfter({}); });
    QVERIFY(writeFile(dir.filePath(QStringLiteral("set.mes")), file));
    window.window->loadFile(dir.filePath(QStringLiteral("set.mes")));
    QVERIFY(window.prompts.told.isEmpty());
    QString expected = upload::buildStream(window.set());
    QVERIFY(expected.startsWith(QStringLiteral("1\r0\r0123456789ABCDE\r")));
    expected.replace(QChar(0xD83D), u'?');

    VirtualBoard board;
    QVERIFY2(!board.device().isEmpty(), qPrintable(board.error()));
    // By a stable name, a link to the device.
    const QString byId = dir.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K5ZQ1-if00-port0"));
    QVERIFY(QFile::link(board.device(), byId));
    QElapsedTimer took;
    took.start();
    const Sent sent = sendFromScript(dir, file, {"--port", byId}, {}, stalled(dir));
    const qint64 tookMs = took.elapsed();

    QCOMPARE(sent.exitCode, 0);
    // A pseudo-terminal is drained at once, so the drain shows only in
    // what the system was asked.
    QCOMPARE(stallLog(dir), QStringLiteral("drain %1\n").arg(board.device()));
    QVERIFY(!sent.bySignal);
    // Done means the last character has left: it has arrived already.
    QCOMPARE(board.board().received(), expected);
    QVERIFY(board.board().complete());
    QCOMPARE(board.lineSettings(), QStringLiteral("2400 8N1"));
    // Paced, not written at once: a half second for each character after
    // the first, which a loaded machine can only lengthen. The gaps as they
    // arrive are no measure here: this board reads on the test's own event
    // loop, and a byte it reads late makes the next gap look short. The
    // pacing to the millisecond is judged by readers on threads of their
    // own (tst_board, and the recorder of the ARM and Windows checks).
    QVERIFY2(tookMs >= (expected.size() - 1) * BoardInterpreter::kIntervalMs, qPrintable(QString::number(tookMs)));
    // A line at the start and one at the end, nothing redrawn.
    const QStringList lines = sent.errors.trimmed().split(u'\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith(QStringLiteral("pelorin: sending set.mes to %1").arg(byId)), qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("pelorin: sent %1 characters to %2.").arg(expected.size()).arg(byId));
    QVERIFY(!sent.errors.contains(u'\r'));
}

void TestSend::stops_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<bool>("draining");  // the signal comes in the last wait, not while characters are paced
    QTest::addColumn<int>("ignored");    // ignored from the start, and sent first
    QTest::newRow("Ctrl-C") << SIGINT << true << false << 0;
    QTest::newRow("SIGTERM") << SIGTERM << false << false << 0;
    QTest::newRow("Ctrl-C ignored, as in a background job") << SIGTERM << false << false << SIGINT;
    QTest::newRow("an SSH session dropped") << SIGHUP << false << false << 0;
    QTest::newRow("Ctrl-\\") << SIGQUIT << true << false << 0;
    QTest::newRow("a hang-up ignored, as under nohup") << SIGTERM << false << false << SIGHUP;
    QTest::newRow("an SSH session dropped in the last wait") << SIGHUP << false << true << 0;
    QTest::newRow("Ctrl-\\ in the last wait") << SIGQUIT << false << true << 0;
}

void TestSend::stops()
{
    QFETCH(int, signal);
    QFETCH(bool, quiet);
    QFETCH(bool, draining);
    QFETCH(int, ignored);
    PtyBoard board;
    QTemporaryDir dir;
    QStringList arguments{"--port", board.path()};
    if (quiet)
        arguments << QStringLiteral("--quiet");
    // The shortest set, whose last wait never ends; or a longer one, paced.
    const QByteArray file = draining ? kEmptySetFile : kWorkedExampleFile;
    const int total = draining ? int(kAllEmptyStream.size()) : 100;
    const QMap<QString, QString> settings =
        draining ? stalled(dir, {{QStringLiteral("STALL_DRAIN"), QStringLiteral("forever")}})
                 : QMap<QString, QString>();
    int sentBefore = -1;
    int ignoredAt = ignored ? -1 : 0;
    const auto stop = [&](QProcess &pelorin) {
        const int received = int(board.received().size());
        if (draining ? !stallLog(dir).startsWith(QStringLiteral("drain ")) : received < 3)
            return false;
        if (ignoredAt < 0) {
            ignoredAt = received;
            ::kill(pid_t(pelorin.processId()), ignored);
        }
        // Once the ignored signal has been sent, the upload goes on.
        if (received < ignoredAt + 2)
            return false;
        sentBefore = received;
        ::kill(pid_t(pelorin.processId()), signal);
        return true;
    };
    // As a shell starts a job in the background, or nohup a command.
    const Sent sent = sendFromScript(dir, file, arguments, stop, settings, [ignored] {
        if (ignored)
            ::signal(ignored, SIG_IGN);
    });

    // Ended as the signal ends a program, so that a shell sees 128 + n,
    // with no core dump.
    QVERIFY2(sent.bySignal, qPrintable(sent.errors));
    QCOMPARE(sent.exitCode, signal);
    const QStringList cores = coreDumpsIn(dir);
    QVERIFY2(cores.isEmpty(), qPrintable(cores.join(u' ')));
    const QByteArray received = board.received();
    QVERIFY2(received.size() == sentBefore || received.size() == sentBefore + 1, received.constData());
    if (draining) {
        QVERIFY2(
            sent.errors.contains(
                QStringLiteral("stopped before the last characters to %1 had left the computer").arg(board.path())),
            qPrintable(sent.errors));
    } else {
        QVERIFY2(
            sent.errors.contains(QStringLiteral("stopped after %1 of %2 characters").arg(received.size()).arg(total)),
            qPrintable(sent.errors));
    }
    QVERIFY(sent.errors.contains(QStringLiteral("partial message set")));
    QCOMPARE(sent.errors.contains(QStringLiteral("sending set.mes")), !quiet);
    // The port was closed, and its lock with it: the next send finds it free.
    QVERIFY2(!QFile::exists(serialLockPath(board.path())), qPrintable(serialLockPath(board.path())));
    QVERIFY(!board.waitForBytes(int(received.size()) + 1, 1200));
}

// A device that stops taking data after the last character: the drain's
// deadline ends the send with the status to try again, and a SIGTERM ends
// it at once. Both throw the output away and close the port, so neither
// waits on the port's closing time.
void TestSend::endsAStuckDrain()
{
    PtyBoard boards[2];
    QTemporaryDir dirs[2];
    QProcess senders[2];
    const QMap<QString, QString> stuck{{QStringLiteral("STALL_DRAIN"), QStringLiteral("forever")}};
    for (int i = 0; i < 2; ++i)
        startSend(senders[i], dirs[i], kEmptySetFile, {"--port", boards[i].path()}, stalled(dirs[i], stuck));
    QProcess &deadline = senders[0], &terminated = senders[1];
    const auto draining = [&](int i) { return stallLog(dirs[i]).startsWith(QStringLiteral("drain ")); };
    QVERIFY2(runUntil([&] { return draining(0) && draining(1); }, 60000), qPrintable(stallLog(dirs[0])));
    QElapsedTimer sinceDrain;
    sinceDrain.start();
    ::kill(pid_t(terminated.processId()), SIGTERM);
    QVERIFY(runUntil([&] { return terminated.state() == QProcess::NotRunning; }, 5000));
    const qint64 stopMs = sinceDrain.elapsed();
    QVERIFY(runUntil([&] { return deadline.state() == QProcess::NotRunning; }, 20000));
    const auto sinceLast = PtyBoard::Clock::now() - boards[0].arrivals().back().at;
    const qint64 deadlineMs = std::chrono::duration_cast<std::chrono::milliseconds>(sinceLast).count();

    QCOMPARE(terminated.exitStatus(), QProcess::CrashExit);
    QCOMPARE(terminated.exitCode(), SIGTERM);
    QVERIFY2(stopMs < 3000, qPrintable(QString::number(stopMs)));
    const QString stopSaid = QString::fromLocal8Bit(terminated.readAllStandardError());
    QVERIFY2(stopSaid.contains(QStringLiteral("stopped before the last characters")), qPrintable(stopSaid));

    QCOMPARE(deadline.exitStatus(), QProcess::NormalExit);
    QCOMPARE(deadline.exitCode(), SendCommand::kTryAgain);
    // 44 characters at 2400 baud, and two seconds more.
    QCOMPARE(SetSender::drainDeadlineMs(44), 2183);
    QVERIFY2(deadlineMs >= 2000 && deadlineMs < 10000, qPrintable(QString::number(deadlineMs)));
    const QString deadlineSaid = QString::fromLocal8Bit(deadline.readAllStandardError());
    QVERIFY2(deadlineSaid.contains(QStringLiteral("did not take the last of them within 3 seconds")),
             qPrintable(deadlineSaid));
    for (PtyBoard &board : boards)
        QCOMPARE(board.received(), kAllEmptyStream);
}

// Ctrl-C while the port is being opened, and the open then fails: the stop
// ends it, as it would at any later point.
void TestSend::stopsDuringAFailingOpen()
{
    QTemporaryDir dir;
    const QString device = absentDevice(1);
    const Sent sent = sendFromScript(
        dir, kWorkedExampleFile, {"--port", device},
        [&](QProcess &pelorin) {
            if (!stallLog(dir).contains(QStringLiteral("open ")))
                return false;
            ::kill(pid_t(pelorin.processId()), SIGINT);
            return true;
        },
        stalled(dir, {{QStringLiteral("STALL_OPEN"), device}}));
    QVERIFY2(sent.bySignal, qPrintable(sent.errors));
    QCOMPARE(sent.exitCode, SIGINT);
}

void TestSend::progressLine_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("line");
    QTest::newRow("none yet") << 0 << 188 << "[--------------------] 0 of 188 characters, 1:34 left";
    QTest::newRow("some") << 37 << 188 << "[###-----------------] 37 of 188 characters, 1:16 left";
    QTest::newRow("all") << 44 << 44 << "[####################] 44 of 44 characters, 0:00 left";
}

void TestSend::progressLine()
{
    QFETCH(int, sent);
    QFETCH(int, total);
    const upload::Progress p{sent, total, qint64(total - sent) * upload::kTickMs};
    QTEST(SendCommand::progressLine(p), "line");
}

// Rehearsing over SSH: the board alone with no display prints its device,
// then what a set that arrives leaves on it. Written all at once, the set
// comes faster than the board takes it, which the report says too.
void TestSend::virtualBoardWithNoDisplay()
{
    QProcess board;
    board.setProcessEnvironment(environmentWith({}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}));
    board.start(QStringLiteral(PELORIN_BINARY), {"--virtual-board-only"});
    QString output;
    const auto hasRead = [&](const QString &words) {
        output += QString::fromLocal8Bit(board.readAllStandardOutput());
        return output.contains(words);
    };
    QVERIFY2(runUntil([&] { return hasRead(QStringLiteral("Ctrl-C ends the board.\n")); }, 10000), qPrintable(output));
    const QString device = output.section(QStringLiteral("board is on "), 1).section(u'\n', 0, 0);
    QVERIFY2(output.contains(QStringLiteral("pelorin --send FILE.mes --port ") + device), qPrintable(output));

    QFile port(device);
    QVERIFY(port.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QCOMPARE(port.write(kWorkedExampleStream), kWorkedExampleStream.size());
    const bool reported = runUntil([&] { return hasRead(QStringLiteral("  9  idle     Z\n")); }, 10000);
    board.kill();
    board.waitForFinished();
    QVERIFY2(reported, qPrintable(output));
    for (const char *line :
         {"An upload has begun. Line settings: ", "under the board's 500 ms", "Protocol: the whole set arrived",
          "The board holds:", "  1  level 1  AB", "  2  level 0  X"})
        QVERIFY2(output.contains(QLatin1String(line)), qPrintable(output));
    QVERIFY(board.readAllStandardError().isEmpty());
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
