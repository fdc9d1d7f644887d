// SPDX-License-Identifier: GPL-3.0-or-later
// The serial link on its own: the settings text, and what an open does to a
// real terminal device.
#include "cli/sendcommand.h"
#include "eventloop.h"
#include "link/comm.h"
#include "link/pacer.h"
#include "link/uploader.h"
#include "ptyboard.h"
#include "samples.h"
#include "ui/tavro.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QSerialPort::Parity)
Q_DECLARE_METATYPE(QSerialPort::DataBits)
Q_DECLARE_METATYPE(QSerialPort::StopBits)
Q_DECLARE_METATYPE(DeviceFacts)

class TestComm : public QObject {
    Q_OBJECT
private slots:
    void parsesSettings_data();
    void parsesSettings();
    void rejectsSettings_data();
    void rejectsSettings();
    void opensAt2400Baud8N1();
    void writesInOrder();
    void refusesWhenClosed();
    void reportsAnAbsentDevice();
    void reportsAWriteToAVanishedDevice();
    void diagnoses_data();
    void diagnoses();
    void findsTheLockHolder();
    void aLateFailureIsTheUploads();
};

void TestComm::parsesSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QSerialPort::Parity>("parity");
    QTest::addColumn<QSerialPort::DataBits>("dataBits");
    QTest::addColumn<QSerialPort::StopBits>("stopBits");
    QTest::newRow("the board's") << "2400,N,8,1" << 2400 << QSerialPort::NoParity << QSerialPort::Data8
                                 << QSerialPort::OneStop;
    QTest::newRow("lower-case parity") << "9600,e,7,2" << 9600 << QSerialPort::EvenParity << QSerialPort::Data7
                                       << QSerialPort::TwoStop;
    QTest::newRow("odd, 1.5 stop") << "110,O,5,1.5" << 110 << QSerialPort::OddParity << QSerialPort::Data5
                                   << QSerialPort::OneAndHalfStop;
    QTest::newRow("mark") << "300,M,6,1" << 300 << QSerialPort::MarkParity << QSerialPort::Data6
                          << QSerialPort::OneStop;
    QTest::newRow("space") << "115200,S,8,1" << 115200 << QSerialPort::SpaceParity << QSerialPort::Data8
                           << QSerialPort::OneStop;
}

void TestComm::parsesSettings()
{
    QFETCH(QString, text);
    const auto parsed = parseLineSettings(text);
    QVERIFY(parsed);
    QTEST(parsed->baud, "baud");
    QTEST(parsed->parity, "parity");
    QTEST(parsed->dataBits, "dataBits");
    QTEST(parsed->stopBits, "stopBits");
}

void TestComm::rejectsSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("three fields") << "2400,N,8";
    QTest::newRow("five fields") << "2400,N,8,1,1";
    QTest::newRow("zero speed") << "0,N,8,1";
    QTest::newRow("signed speed") << "+2400,N,8,1";
    QTest::newRow("blank in speed") << " 2400,N,8,1";
    QTest::newRow("speed too large") << "9999999999,N,8,1";
    QTest::newRow("unknown parity") << "2400,X,8,1";
    QTest::newRow("two-letter parity") << "2400,NN,8,1";
    QTest::newRow("four data bits") << "2400,N,4,1";
    QTest::newRow("nine data bits") << "2400,N,9,1";
    QTest::newRow("three stop bits") << "2400,N,8,3";
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("\xd9\xa2\xd9\xa4\xd9\xa0\xd9\xa0,N,8,1");
}

void TestComm::rejectsSettings()
{
    QFETCH(QString, text);
    QVERIFY(!parseLineSettings(text));
    Comm comm([] { return QStringList(); });
    QVERIFY(!comm.setSettings(text));
}

// The board's settings stay through the close: what the system still holds
// then must leave at them, not at those from before the open.
void TestComm::opensAt2400Baud8N1()
{
    PtyBoard board;
    QVERIFY(board.isValid());
    {
        const QByteArray path = QFile::encodeName(board.path());
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        termios before{};
        QVERIFY(::tcgetattr(fd, &before) == 0);
        ::cfsetspeed(&before, B9600);
        QVERIFY(::tcsetattr(fd, TCSANOW, &before) == 0);
        ::close(fd);
    }
    Comm comm([&] { return QStringList{QString(), board.path()}; });
    comm.lookUpDevices();
    comm.setCommPort(2);
    QVERIFY(comm.setSettings(QStringLiteral("2400,N,8,1")));
    QVERIFY2(comm.open(), qPrintable(comm.errorString()));
    QVERIFY(comm.portOpen());

    const termios t = board.settings();
    QCOMPARE(cfgetospeed(&t), speed_t(B2400));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
    // A CR must reach the board as a CR.
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));

    QVERIFY(comm.write('1'));
    comm.close();
    QVERIFY(!comm.portOpen());
    const termios after = board.settings();
    QCOMPARE(cfgetospeed(&after), speed_t(B2400));
    QCOMPARE(after.c_oflag & OPOST, tcflag_t(0));
    // Closed for good: another program may have the device now.
    QVERIFY(board.waitForBytes(1, 2000));
    QFile again(board.path());
    QVERIFY2(again.open(QIODevice::WriteOnly), qPrintable(again.errorString()));
}

void TestComm::writesInOrder()
{
    PtyBoard board;
    Comm comm([&] { return QStringList{board.path()}; });
    comm.lookUpDevices();
    comm.setCommPort(1);
    QVERIFY(comm.open());
    for (char c : QByteArray("1\r0\r\xe9Q"))
        QVERIFY(comm.write(c));
    QVERIFY(board.waitForBytes(6, 2000));
    QCOMPARE(board.received(), QByteArray("1\r0\r\xe9Q"));
}

void TestComm::refusesWhenClosed()
{
    PtyBoard board;
    Comm comm([&] { return QStringList{board.path()}; });
    comm.lookUpDevices();
    QVERIFY(!comm.write('A'));
    QVERIFY(!comm.errorString().isEmpty());
    QTest::qWait(50);
    QVERIFY(board.received().isEmpty());
}

void TestComm::reportsAnAbsentDevice()
{
    Comm comm([] { return withAbsentAfter({}); });
    comm.lookUpDevices();
    comm.setCommPort(3);
    QVERIFY(!comm.open());
    QVERIFY(!comm.portOpen());
    QVERIFY(!comm.errorString().isEmpty());
    QCOMPARE(comm.failure().cause, Diagnosis::NoDevice);
    QCOMPARE(comm.device(), absentDevice(3));

    Comm unmapped([] { return QStringList(); });
    unmapped.lookUpDevices();
    unmapped.setCommPort(1);
    QVERIFY(!unmapped.open());
    QVERIFY(!unmapped.errorString().isEmpty());
}

void TestComm::reportsAWriteToAVanishedDevice()
{
    PtyBoard board;
    Comm comm([&] { return QStringList{board.path()}; });
    comm.lookUpDevices();
    comm.setCommPort(1);
    QVERIFY(comm.open());
    int lost = 0;
    connect(&comm, &Comm::lost, this, [&] { ++lost; });
    board.hangUp();
    QVERIFY(!comm.write('A'));
    QVERIFY(!comm.errorString().isEmpty());
    QVERIFY(lost >= 1);
}

void TestComm::diagnoses_data()
{
    QTest::addColumn<DeviceFacts>("facts");
    QTest::addColumn<int>("cause");
    QTest::addColumn<bool>("retry");  // trying again later may help
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QStringList>("neverSays");

    DeviceFacts outsider;
    outsider.device = QStringLiteral("/dev/ttyUSB0");
    outsider.exists = true;
    outsider.group = QStringLiteral("uucp");
    outsider.groupMayWrite = true;
    outsider.user = QStringLiteral("alice");
    outsider.systemReason = QStringLiteral("Permission denied");
    outsider.probedOnPlugIn = true;
    QTest::newRow("a device of another group") << outsider << int(Diagnosis::NoPermission) << false
                                               << QStringList{"Serial port 1 (/dev/ttyUSB0)", "group uucp", "alice",
                                                              "sudo usermod -aG uucp alice", "log out and in again"}
                                               << QStringList{"dialout", "added"};

    DeviceFacts added = outsider;
    added.groupListsUser = true;
    QTest::newRow("listed in the group, not in this session")
        << added << int(Diagnosis::NeedsNewLogin) << false
        << QStringList{"group uucp", "alice", "added", "Log out and in again"} << QStringList{"usermod"};

    DeviceFacts closedToGroup = outsider;
    closedToGroup.groupMayWrite = false;
    closedToGroup.owner = QStringLiteral("root");
    QTest::newRow("closed to its group too")
        << closedToGroup << int(Diagnosis::Other) << false
        << QStringList{"cannot be opened: Permission denied", "belongs to root", "administrator"}
        << QStringList{"usermod"};

    DeviceFacts locked = outsider;
    locked.writable = true;
    locked.sessionHasGroup = true;
    locked.refusedAsBusy = true;
    locked.holders = QStringList{QStringLiteral("minicom (process 4242)")};
    QTest::newRow("a held lock") << locked << int(Diagnosis::InUse) << true
                                 << QStringList{"another program is using it: minicom (process 4242)", "ModemManager",
                                                "run the command again"}
                                 << QStringList{"usermod"};

    DeviceFacts busy = locked;
    busy.holders.clear();
    QTest::newRow("busy, holder unseen") << busy << int(Diagnosis::InUse) << true
                                         << QStringList{"another program is using it, such as a terminal",
                                                        "ModemManager"}
                                         << QStringList{"process"};

    // Windows: a port held by another program is refused, and no one
    // names the holder.
    DeviceFacts held;
    held.device = QStringLiteral("COM1");
    held.exists = held.writable = held.refusedAsBusy = true;
    held.systemReason = QStringLiteral("Access denied");
    QTest::newRow("a held COM port") << held << int(Diagnosis::InUse) << true
                                     << QStringList{"Serial port 1 (COM1) cannot be used: another program is using it",
                                                    "serial monitor", "Close that program"}
                                     << QStringList{"ModemManager", "usermod", "Access denied"};

    // How to renumber a COM port is Windows' own, and is checked there.
    DeviceFacts elsewhere;
    elsewhere.device = QStringLiteral("COM1");
    elsewhere.otherPorts = QStringList{QStringLiteral("USB Serial Port (COM7)"), QStringLiteral("COM9")};
    elsewhere.otherDevices = QStringList{QStringLiteral("COM7"), QStringLiteral("COM9")};
    QTest::newRow("only ports above 4") << elsewhere << int(Diagnosis::OtherPortsOnly) << true
                                        << QStringList{"Serial port 1 (COM1) has no device",
                                                       "USB Serial Port (COM7), COM9",
                                                       "run the command again with --port COM7."}
                                        << QStringList{"usermod", "Device Manager"};

    DeviceFacts other = locked;
    other.refusedAsBusy = false;
    other.holders.clear();
    other.systemReason = QStringLiteral("Input/output error");
    QTest::newRow("another error") << other << int(Diagnosis::Other) << false
                                   << QStringList{"cannot be opened: Input/output error."}
                                   << QStringList{"usermod", "ModemManager", "administrator"};

    DeviceFacts stopped = other;
    stopped.systemReason = QStringLiteral("The semaphore timeout period has expired.\r\n");
    QTest::newRow("a reason with its own full stop")
        << stopped << int(Diagnosis::Other) << false
        << QStringList{"cannot be opened: The semaphore timeout period has expired."} << QStringList{"expired..", "\r"};

    DeviceFacts missing;
    missing.device = QStringLiteral("/dev/ttyUSB1");
    QTest::newRow("a missing device") << missing << int(Diagnosis::NoDevice) << true
                                      << QStringList{"has no device.", "give its device with --port."}
                                      << QStringList{"usermod", "ModemManager", "computer are"};
    DeviceFacts another = missing;
    another.otherDevices = another.otherPorts = QStringList{QStringLiteral("/dev/ttyACM0")};
    QTest::newRow("a missing device, another there")
        << another << int(Diagnosis::OtherPortsOnly) << true
        << QStringList{"The serial ports of this computer are: /dev/ttyACM0.",
                       "Plug in the board's adapter, or run the command again with --port /dev/ttyACM0."}
        << QStringList{"usermod"};
    QTest::newRow("no device for the port at all") << DeviceFacts() << int(Diagnosis::NoDevice) << true
                                                   << QStringList{"Serial port 1 has no device."} << QStringList{"()"};

    DeviceFacts flaky = other;
    flaky.transient = true;
    QTest::newRow("an adapter's error at open")
        << flaky << int(Diagnosis::Other) << true << QStringList{"cannot be opened: Input/output error."}
        << QStringList{"usermod"};

    DeviceFacts leftOver = locked;
    leftOver.holders.clear();
    leftOver.user = QStringLiteral("_pelorin");
    leftOver.lockRefused = true;
    leftOver.lockFile = QStringLiteral("/var/lock/LCK..tavro");
    leftOver.lockOwner = QStringLiteral("root");
    QTest::newRow("a lock left behind by another user")
        << leftOver << int(Diagnosis::LockLeftOver) << false
        << QStringList{"its lock file /var/lock/LCK..tavro was left behind by a program that has ended",
                       "it belongs to root", "No program is using the port", "    sudo rm /var/lock/LCK..tavro"}
        << QStringList{"ModemManager", "another program is using it", "usermod"};
    DeviceFacts readOnly = leftOver;
    readOnly.lockOwner = readOnly.user;
    readOnly.holders = QStringList{QStringLiteral("cat (process 7)")};
    QTest::newRow("a lock left behind in a folder that may not be written, a program at the port")
        << readOnly << int(Diagnosis::LockLeftOver) << false
        << QStringList{"its folder may not be written", "It is open in cat (process 7)", "sudo rm /var/lock/LCK..tavro"}
        << QStringList{"belongs to", "No program"};
    DeviceFacts blanks = leftOver;
    blanks.lockFile = QStringLiteral("/var/lock/LCK.._home_ann_my board's port");
    QTest::newRow("a lock named after a path with a blank and a quote")
        << blanks << int(Diagnosis::LockLeftOver) << false
        << QStringList{"    sudo rm '/var/lock/LCK.._home_ann_my board'\\''s port'"} << QStringList{"sudo rm /var"};
    DeviceFacts noFolder = leftOver;
    noFolder.lockFile.clear();
    noFolder.lockFolders = QStringList{QStringLiteral("/var/lock"), QStringLiteral("/tmp")};
    QTest::newRow("no folder for a lock")
        << noFolder << int(Diagnosis::LockLeftOver) << false
        << QStringList{"_pelorin may write none of the folders", "/var/lock, /tmp", "Let it write /run/lock"}
        << QStringList{"sudo rm"};
    DeviceFacts liveLock = leftOver;
    liveLock.lockHolder = QStringLiteral("pelorin (process 42)");
    liveLock.holders = QStringList{liveLock.lockHolder};
    liveLock.probedOnPlugIn = false;
    QTest::newRow("a lock of a program at work")
        << liveLock << int(Diagnosis::InUse) << true
        << QStringList{"another program is using it: pelorin (process 42). pelorin (process 42) holds its lock "
                       "file /var/lock/LCK..tavro.",
                       "Close that program"}
        << QStringList{"left behind", "ModemManager"};
    DeviceFacts console = outsider;
    console.console = QStringLiteral("ttyS0");
    QTest::newRow("a login console of the group tty")
        << console << int(Diagnosis::Console) << false << QStringList{"login console", "console=ttyS0", "raspi-config"}
        << QStringList{"usermod", "join"};
    DeviceFacts null = locked;
    null.notATerminal = true;
    null.systemReason = QStringLiteral("Inappropriate ioctl for device");
    QTest::newRow("no terminal") << null << int(Diagnosis::NotASerialPort) << false
                                 << QStringList{"it is not a serial port (Inappropriate ioctl for device)"}
                                 << QStringList{"another program", "ModemManager"};
}

void TestComm::diagnoses()
{
    QFETCH(DeviceFacts, facts);
    QFETCH(int, cause);
    QFETCH(QStringList, says);
    QFETCH(QStringList, neverSays);
    const Diagnosis d = diagnose(1, facts);
    QCOMPARE(int(d.cause), cause);
    QTEST(d.retryable(), "retry");
    QCOMPARE(d.actionable(), cause != Diagnosis::NoDevice);
    const QString text = d.text(SendCommand::kNextStep);
    for (const QString &words : says)
        QVERIFY2(text.contains(words), qPrintable(text));
    for (const QString &words : neverSays)
        QVERIFY2(!text.contains(words), qPrintable(text));

    // The window says the same of the port, ends in its own way to try
    // again, and never speaks of --port, which it does not take.
    const QString window = d.text(Tavro::kNextStep);
    QVERIFY2(!window.contains(QStringLiteral("--port")), qPrintable(window));
    if (!text.contains(QStringLiteral("--port"))) {
        QString expected = window;
        expected.replace(Tavro::kNextStep.retry, SendCommand::kNextStep.retry)
            .replace(Tavro::kNextStep.restart, SendCommand::kNextStep.restart);
        QCOMPARE(text, expected);
    }
}

// A serial program's lock file names its process, which the facts name.
void TestComm::findsTheLockHolder()
{
    PtyBoard board;
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const qint64 pid = holder.processId();
    const QString lock = QStringLiteral("/tmp/LCK..") + QFileInfo(board.path()).fileName();
    QVERIFY(!QFile::exists(lock));
    QVERIFY(writeFile(lock, QByteArray::number(pid).rightJustified(10, ' ') + '\n'));
    // Named by a stable link, as /dev/serial/by-id/ names an adapter.
    QTemporaryDir links;
    const QString link = links.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K5ZQ1-if00-port0"));
    QVERIFY(QFile::link(board.path(), link));
    const DeviceFacts facts = gatherFacts(link, QStringLiteral("locked"), true);
    QFile::remove(lock);
    holder.kill();
    holder.waitForFinished();
    QVERIFY(facts.exists && facts.writable && facts.refusedAsBusy);
    QCOMPARE(facts.holders, QStringList{QStringLiteral("sleep (process %1)").arg(pid)});
}

// A write that fails after the last character was handed over, as a write
// on Windows completes later, fails the upload: it is not taken for sent.
// Once every write is confirmed, a failure of the link is not the upload's.
void TestComm::aLateFailureIsTheUploads()
{
    PtyBoard board;
    Comm comm([&] { return QStringList{board.path()}; });
    comm.lookUpDevices();
    comm.setCommPort(1);
    QVERIFY(comm.open());
    MessageSet set;
    giveStartValues(set);
    Pacer pacer;
    pacer.setInterval(2);
    Uploader uploader(set, comm, pacer);
    connect(&pacer, &Pacer::timeout, &uploader, &Uploader::tick);
    QStringList failures;
    connect(&uploader, &Uploader::failed, this, [&](const QString &reason) { failures << reason; });
    int unconfirmedAtEnd = -1;
    bool failAtEnd = true;
    connect(&uploader, &Uploader::finished, this, [&] {
        unconfirmedAtEnd = comm.unconfirmed();
        if (failAtEnd)
            uploader.fail(QStringLiteral("the last write failed"));
    });
    QVERIFY(uploader.start().ok);
    QVERIFY(runUntil([&] { return unconfirmedAtEnd >= 0; }, 10000));
    if (unconfirmedAtEnd == 0)
        QSKIP("this system confirmed the last write at once");
    QCOMPARE(failures, QStringList{QStringLiteral("the last write failed")});
    QCOMPARE(uploader.progress().sent, uploader.progress().total - 1);
    uploader.fail(QStringLiteral("again"));
    QCOMPARE(failures.size(), 1);

    failAtEnd = false;
    unconfirmedAtEnd = -1;
    QVERIFY(uploader.start().ok);
    QVERIFY(runUntil([&] { return unconfirmedAtEnd >= 0 && comm.unconfirmed() == 0; }, 10000));
    QCOMPARE(failures.size(), 1);
    uploader.fail(QStringLiteral("pulled out long after"));
    QCOMPARE(failures.size(), 1);
}

QTEST_GUILESS_MAIN(TestComm)
#include "tst_comm.moc"
