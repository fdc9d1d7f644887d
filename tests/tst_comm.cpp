// SPDX-License-Identifier: GPL-3.0-or-later
// The serial link on its own: the settings text, and what an open does to a
// real terminal device.
#include "link/comm.h"
#include "ptyboard.h"

#include <QTest>

#include <termios.h>

Q_DECLARE_METATYPE(QSerialPort::Parity)
Q_DECLARE_METATYPE(QSerialPort::DataBits)
Q_DECLARE_METATYPE(QSerialPort::StopBits)

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

void TestComm::opensAt2400Baud8N1()
{
    PtyBoard board;
    QVERIFY(board.isValid());
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

    comm.close();
    QVERIFY(!comm.portOpen());
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

QTEST_GUILESS_MAIN(TestComm)
#include "tst_comm.moc"
