// SPDX-License-Identifier: GPL-3.0-or-later
// Which device is which port, from the kernel's list of terminals, in trees
// made after what these computers show:
// - the attributes: the kernel's Documentation/ABI/testing/sysfs-tty
//   (console/active lists the consoles, like "tty1 ttyS0"; a port's
//   "console" attribute shows whether it is one; "type" is the port's UART
//   type, 0 for an 8250 slot with nothing fitted);
// - Raspberry Pi: the Raspberry Pi documentation, "Configuring UARTs"
//   (Bluetooth on the PL011 through the kernel by default, the mini UART
//   off unless enable_uart=1, console=serial0 on the primary UART; the Pi 5's
//   debug UART, ttyAMA10, as serial0), and the bluetooth overlay's krnbt
//   parameter, without which hciattach holds ttyAMA0 and puts hci0 under it;
// - udev's /dev/serial/by-id/ links, named after the adapter's USB strings.
#include "cli/listports.h"
#include "cli/sendcommand.h"
#include "link/diagnosis.h"
#include "link/serialdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool put(const QString &path, const QByteArray &bytes = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A tree with sys/ and dev/ for `ttys`: "NAME" and words after it. A
// terminal has hardware behind it ("virtual": none), its node in dev/
// ("nonode": none), and may be "usb" (an FTDI adapter), "type=N",
// "console" (its console attribute Y) or "hci" (Bluetooth holds it).
bool makeTree(const QString &root, const QStringList &ttys, const QByteArray &active)
{
    const QDir dir(root);
    bool ok = put(dir.filePath(QStringLiteral("sys/class/tty/console/active")), active + '\n');
    for (const QString &line : ttys) {
        const QStringList words = line.split(u' ');
        const QString name = words[0];
        const QString tty = dir.filePath(QStringLiteral("sys/class/tty/") + name);
        ok = ok && dir.mkpath(tty);
        if (!words.contains(QStringLiteral("virtual"))) {
            QString hardware = dir.filePath(QStringLiteral("sys/devices/platform/serial/") + name);
            if (words.contains(QStringLiteral("usb"))) {
                const QString usb = dir.filePath(QStringLiteral("sys/devices/pci0000:00/usb1/1-1.") + name);
                ok = ok && put(usb + QStringLiteral("/idVendor"), "0403\n")
                     && put(usb + QStringLiteral("/product"), "FT232R USB UART\n")
                     && put(usb + QStringLiteral("/manufacturer"), "FTDI\n")
                     && put(usb + QStringLiteral("/serial"), "A10K5ZQ" + name.right(1).toLatin1() + '\n');
                hardware = usb + QStringLiteral("/1-1:1.0/") + name;
            }
            ok = ok && dir.mkpath(hardware) && QFile::link(hardware, tty + QStringLiteral("/device"));
        }
        for (const QString &word : words.mid(1)) {
            if (word.startsWith(QLatin1String("type=")))
                ok = ok && put(tty + QStringLiteral("/type"), word.mid(5).toLatin1() + '\n');
            if (word == QLatin1String("console"))
                ok = ok && put(tty + QStringLiteral("/console"), "Y\n");
            if (word == QLatin1String("hci"))
                ok = ok && dir.mkpath(tty + QStringLiteral("/hci0"));
        }
        if (!words.contains(QStringLiteral("nonode")))
            ok = ok && put(dir.filePath(QStringLiteral("dev/") + name));
    }
    return ok;
}

QStringList devicesOf(const QList<SerialDevice> &devices, bool leftOut)
{
    QStringList names;
    for (const SerialDevice &d : devices) {
        if (d.leftOut() == leftOut)
            names << d.device.mid(5);
    }
    return names;
}

// The terminals every Linux system has with no hardware behind them.
const QStringList kVirtual{"console virtual", "tty virtual", "tty0 virtual", "tty1 virtual", "ptmx virtual"};

}  // namespace

class TestPorts : public QObject {
    Q_OBJECT
private slots:
    void numbers_data();
    void numbers();
    void listsForScripts();
    void natures_data();
    void natures();
};

void TestPorts::numbers_data()
{
    QTest::addColumn<QStringList>("ttys");
    QTest::addColumn<QByteArray>("active");
    QTest::addColumn<QStringList>("ports");  // in the order of their numbers
    QTest::addColumn<QStringList>("leftOut");

    const QStringList emptySlots{"ttyS0 type=0", "ttyS1 type=0", "ttyS2 type=0", "ttyS3 type=0"};
    QTest::newRow("a PC with only an adapter") << kVirtual + emptySlots + QStringList{"ttyUSB0 usb"}
                                               << QByteArray("tty0") << QStringList{"ttyUSB0"} << QStringList();
    QTest::newRow("a PC with its own ttyS0 and an adapter")
        << kVirtual + QStringList{"ttyS0 type=4", "ttyS1 type=0", "ttyS2 type=0", "ttyS3 type=0", "ttyUSB0 usb"}
        << QByteArray("tty0") << QStringList{"ttyS0", "ttyUSB0"} << QStringList();
    QTest::newRow("a server whose console is ttyS0")
        << kVirtual + QStringList{"ttyS0 type=4", "ttyUSB0 usb"} << QByteArray("tty0 ttyS0") << QStringList{"ttyUSB0"}
        << QStringList{"ttyS0"};
    // Bluetooth holds the PL011 with no terminal, the mini UART is off.
    QTest::newRow("a Pi 3 or 4 as it comes")
        << kVirtual + QStringList{"ttyUSB0 usb"} << QByteArray("tty1") << QStringList{"ttyUSB0"} << QStringList();
    QTest::newRow("a Pi 3 or 4 with enable_uart=1")
        << kVirtual + QStringList{"ttyS0 type=4 console", "ttyUSB0 usb"} << QByteArray("ttyS0 tty1")
        << QStringList{"ttyUSB0"} << QStringList{"ttyS0"};
    QTest::newRow("a Pi 3 or 4 with krnbt=off")
        << kVirtual + QStringList{"ttyAMA0 type=83 hci", "ttyUSB0 usb"} << QByteArray("tty1") << QStringList{"ttyUSB0"}
        << QStringList{"ttyAMA0"};
    QTest::newRow("a Pi 5 as it comes") << kVirtual + QStringList{"ttyAMA10 type=83 console", "ttyUSB0 usb"}
                                        << QByteArray("ttyAMA10 tty1") << QStringList{"ttyUSB0"}
                                        << QStringList{"ttyAMA10"};
    QTest::newRow("a Pi 5 with its console off")
        << kVirtual + QStringList{"ttyAMA10 type=83", "ttyUSB0 usb"} << QByteArray("tty1")
        << QStringList{"ttyAMA10", "ttyUSB0"} << QStringList();
    QStringList eleven;
    QStringList elevenPorts;
    for (int n = 10; n >= 0; --n)
        eleven << QStringLiteral("ttyUSB%1 usb").arg(n);
    for (int n = 0; n <= 10; ++n)
        elevenPorts << QStringLiteral("ttyUSB%1").arg(n);
    QTest::newRow("eleven adapters") << kVirtual + eleven << QByteArray("tty0") << elevenPorts << QStringList();
    QTest::newRow("names with numbers, in their order")
        << QStringList{"ttyUSB10 usb", "ttyUSB2 usb", "ttyS0 type=4", "ttyAMA10", "ttyAMA0", "ttyACM0", "ttyS1 nonode"}
        << QByteArray() << QStringList{"ttyACM0", "ttyAMA0", "ttyAMA10", "ttyS0", "ttyUSB2", "ttyUSB10"}
        << QStringList();
}

void TestPorts::numbers()
{
    QFETCH(QStringList, ttys);
    QFETCH(QByteArray, active);
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), ttys, active));
    const QList<SerialDevice> devices = serialDevices(root.path());
    QTEST(devicesOf(devices, false), "ports");
    QTEST(devicesOf(devices, true), "leftOut");
    for (qsizetype i = 0; i < devices.size(); ++i)
        QCOMPARE(devices[i].port, !devices[i].leftOut() && i < 4 ? int(i) + 1 : 0);
}

// What a script reads of a tree with a console, a PC port and an adapter
// with its stable name; and what a person reads.
void TestPorts::listsForScripts()
{
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), kVirtual + QStringList{"ttyUSB0 usb", "ttyS0 type=4", "ttyAMA10 console"},
                     "ttyAMA10 tty1"));
    const QString stable = QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K5ZQ0-if00-port0");
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("dev/serial/by-id")));
    QVERIFY(QFile::link(QStringLiteral("../../ttyUSB0"), root.filePath(QStringLiteral("dev/serial/by-id/")) + stable));
    QList<SerialDevice> devices = serialDevices(root.path());
    assessAccess(devices, root.path());

    QCOMPARE(listPortsText(devices, true),
             QStringLiteral("1\t/dev/ttyS0\t-\tusable\t-\n"
                            "2\t/dev/ttyUSB0\t/dev/serial/by-id/%1\tusable\tFT232R USB UART (FTDI, serial number "
                            "A10K5ZQ0)\n"
                            "-\t/dev/ttyAMA10\t-\tconsole\t-\n")
                 .arg(stable));
    const QString text = listPortsText(devices, false);
    for (const QString &line :
         {QStringLiteral("port 1  /dev/ttyS0     usable\n"),
          QStringLiteral("port 2  /dev/ttyUSB0   usable  FT232R USB UART (FTDI, serial number A10K5ZQ0)\n"
                         "        stable name: /dev/serial/by-id/%1\n")
              .arg(stable),
          QStringLiteral("-       /dev/ttyAMA10  left out: login console\n")})
        QVERIFY2(text.contains(line), qPrintable(text));
    QCOMPARE(devices[1].label(), QStringLiteral("/dev/ttyUSB0\n/dev/serial/by-id/") + stable);
    QVERIFY(listPortsText({}, false).contains(QStringLiteral("No serial device was found")));
}

// What a device named by its path is, and what is said of it when it does
// not open: a console or a slot with no UART is no place for the board,
// whatever its owner and mode.
void TestPorts::natures_data()
{
    QTest::addColumn<QString>("device");  // in the tree
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("hardware");
    QTest::addColumn<bool>("console");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<int>("cause");  // of a refusal as "Permission denied"
    QTest::addColumn<QStringList>("says");

    QTest::newRow("a Pi 5's console") << "dev/ttyAMA10"
                                      << "ttyAMA10" << true << true << true << false << int(Diagnosis::Console)
                                      << QStringList{"login console", "raspi-config", "console=ttyAMA10"};
    QTest::newRow("a PC's console by its attribute")
        << "dev/ttyS0"
        << "ttyS0" << true << true << true << false << int(Diagnosis::Console)
        << QStringList{"login console", "console=ttyS0"};
    QTest::newRow("an 8250 slot with nothing fitted")
        << "dev/ttyS1"
        << "ttyS1" << true << false << false << false << int(Diagnosis::NotASerialPort)
        << QStringList{"no serial port hardware stands behind it (Permission denied)", "Check the device's name."};
    QTest::newRow("the controlling terminal")
        << "dev/tty"
        << "tty" << true << false << false << false << int(Diagnosis::NotASerialPort)
        << QStringList{"no serial port hardware"};
    QTest::newRow("an adapter by its stable name")
        << "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K5ZQ0-if00-port0"
        << "ttyUSB0" << true << true << false << true << int(Diagnosis::NoPermission)
        << QStringList{"sudo usermod -aG dialout"};
    QTest::newRow("a plain file") << "dev/notes"
                                  << "" << false << true << false << false << int(Diagnosis::NotASerialPort)
                                  << QStringList{"it is not a serial port"};
}

void TestPorts::natures()
{
    QFETCH(QString, device);
    QFETCH(int, cause);
    QFETCH(QStringList, says);
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(),
                     kVirtual + QStringList{"ttyAMA10 type=83", "ttyS0 type=4 console", "ttyS1 type=0", "ttyUSB0 usb"},
                     "ttyAMA10 tty1"));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("dev/serial/by-id")));
    QVERIFY(
        QFile::link(QStringLiteral("../../ttyUSB0"),
                    root.filePath(QStringLiteral("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K5ZQ0-if00-port0"))));
    QVERIFY(put(root.filePath(QStringLiteral("dev/notes")), "not a device\n"));
    const QString path = root.filePath(device);
    const DeviceNature nature = deviceNature(path, root.path());
    QTEST(nature.name, "name");
    QTEST(nature.terminal, "terminal");
    QTEST(nature.hardware, "hardware");
    QTEST(nature.console, "console");
    QTEST(nature.usb, "usb");

    // Refused as a device of the group dialout would be, to a user outside it.
    DeviceFacts facts = gatherFacts(path, QStringLiteral("Permission denied"), true, {}, root.path());
    facts.writable = facts.sessionHasGroup = facts.groupListsUser = false;
    facts.groupMayWrite = true;
    facts.group = QStringLiteral("dialout");
    facts.user = QStringLiteral("alice");
    const Diagnosis d = diagnose(0, facts);
    QCOMPARE(int(d.cause), cause);
    QVERIFY(!d.retryable());
    const QString text = d.text(SendCommand::kNextStep);
    for (const QString &words : says)
        QVERIFY2(text.contains(words), qPrintable(text));
    if (cause != Diagnosis::NoPermission) {
        for (const QString &words : {QStringLiteral("usermod"), QStringLiteral("ModemManager")})
            QVERIFY2(!text.contains(words), qPrintable(text));
    }
}

QTEST_GUILESS_MAIN(TestPorts)
#include "tst_ports.moc"
