// SPDX-License-Identifier: GPL-3.0-or-later
// The message file format over in-memory devices.
#include "files/mesfile.h"
#include "samples.h"

#include <QBuffer>
#include <QTest>

namespace {

MessageSet workedExample()
{
    MessageSet set;
    giveStartValues(set);
    const QStringList texts{"FRONT DOOR", "BACK DOOR", "", "ZONE 4", "ZONE 5", "ZONE 6", "ZONE 7", "ZONE 8", "WELCOME"};
    for (int i = 1; i <= 9; ++i)
        set.messageText[i] = texts[i - 1];
    for (int input : {1, 2, 5})
        set.triggerOnOpen[input] = true;
    set.portText = QStringLiteral("2");
    return set;
}

QByteArray written(const MessageSet &set)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!mesfile::write(buffer, set))
        return {};
    return buffer.data();
}

std::variant<mesfile::Contents, mesfile::Error> readBytes(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return mesfile::read(buffer);
}

}  // namespace

class TestMesFile : public QObject {
    Q_OBJECT
private slots:
    void writesTheWorkedExample();
    void roundTrips_data();
    void roundTrips();
    void reads_data();
    void reads();
    void refuses_data();
    void refuses();
    void levels_data();
    void levels();
    void readsNoMoreThanItNeeds();
};

void TestMesFile::writesTheWorkedExample() { QCOMPARE(written(workedExample()), kWorkedExampleFile); }

void TestMesFile::roundTrips_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("port");
    QTest::newRow("comma and quotes") << "a,\"b\", c"
                                      << "1";
    QTest::newRow("blanks around") << "  padded  "
                                   << "4";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("accented letters") << QString::fromUtf8("Caf\xc3\xa9 \xc3\x9c"
                                                           "ber")
                                      << "3";
    QTest::newRow("beyond Latin-1") << QString::fromUtf8("\xe2\x82\xac 5") << "2";
    QTest::newRow("leading x kept") << "xx"
                                    << "7";
    QTest::newRow("odd port text") << "A"
                                   << " 2 ";
    QTest::newRow("longer than a box") << QString(40, u'L') << "1";
}

void TestMesFile::roundTrips()
{
    QFETCH(QString, message);
    QFETCH(QString, port);

    MessageSet set = workedExample();
    for (int i = 1; i <= 9; ++i)
        set.messageText[i] = message + QString::number(i);
    set.messageText[3] = message;
    set.portText = port;
    set.triggerOnOpen[8] = true;

    const QByteArray bytes = written(set);
    const auto result = readBytes(bytes);
    QVERIFY(std::holds_alternative<mesfile::Contents>(result));
    const auto &contents = std::get<mesfile::Contents>(result);
    MessageSet back = set;
    for (int i = 1; i <= 9; ++i)
        back.messageText[i] = contents.messageText[i];
    for (int i = 1; i <= 8; ++i)
        back.triggerOnOpen[i] = contents.triggerOnOpen[i];
    back.portText = contents.portText;
    QCOMPARE(back.messageText, set.messageText);
    QCOMPARE(back.triggerOnOpen, set.triggerOnOpen);
    QCOMPARE(back.portText, set.portText);
    QCOMPARE(written(back), bytes);
}

void TestMesFile::reads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("openInputs");
    QTest::addColumn<QString>("port");

    const QList<int> exampleOpen{1, 2, 5};
    QTest::newRow("worked example") << kWorkedExampleFile << 3 << "" << exampleOpen << "2";
    QByteArray lf = kWorkedExampleFile;
    lf.replace("\r\n", "\n");
    QTest::newRow("LF line ends") << lf << 1 << "FRONT DOOR" << exampleOpen << "2";
    QTest::newRow("no line end after the port")
        << kWorkedExampleFile.chopped(2) << 9 << "WELCOME" << exampleOpen << "2";
    QTest::newRow("lines after the 18th ignored") << kWorkedExampleFile + "xEXTRA\r\n0\r\n"
                                                  << 9 << "WELCOME" << exampleOpen << "2";
    QTest::newRow("blanks around levels") << withLine(10, "  1 ").replace("\r\n0\r\n0\r\n1", "\r\n\t0\t\r\n0 \r\n 1")
                                          << 1 << "FRONT DOOR" << exampleOpen << "2";
    QTest::newRow("2 and -1 are grounded, +1 and 01 open")
        << withLine(10, "2").replace("\r\n1\r\n0\r\n0\r\n1", "\r\n-1\r\n+1\r\n01\r\n1") << 1 << "FRONT DOOR"
        << QList<int>{3, 4, 5} << "2";
    QTest::newRow("first character dropped whatever it is")
        << withLine(2, "ZBACK") << 2 << "BACK" << exampleOpen << "2";
    QTest::newRow("first character beyond the BMP dropped whole") << withLine(2, "\xf0\x9f\x98\x80"
                                                                                 "BACK")
                                                                  << 2 << "BACK" << exampleOpen << "2";
    QTest::newRow("Latin-1 file") << withLine(1, "xCaf\xe9") << 1 << QString::fromUtf8("Caf\xc3\xa9") << exampleOpen
                                  << "2";
    QTest::newRow("sequence split over two lines is Latin-1")
        << withLine(1, "xA\xc3")
               .replace("\r\nxBACK", "\r\n\xa9"
                                     "BACK")
        << 1 << QString::fromLatin1("A\xc3") << exampleOpen << "2";
    QTest::newRow("UTF-8 file") << withLine(1, "xCaf\xc3\xa9") << 1 << QString::fromUtf8("Caf\xc3\xa9") << exampleOpen
                                << "2";
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + kWorkedExampleFile << 1 << "FRONT DOOR" << exampleOpen << "2";
    QTest::newRow("empty port line") << withLine(18, "") << 1 << "FRONT DOOR" << exampleOpen << "";
    QTest::newRow("port 7") << withLine(18, "7") << 1 << "FRONT DOOR" << exampleOpen << "7";
    QTest::newRow("long message") << withLine(4, "x" + QByteArray(100, 'M')) << 4 << QString(100, u'M') << exampleOpen
                                  << "2";
    QTest::newRow("longest line allowed") << withLine(5, "x" + QByteArray(mesfile::kMaxLineBytes - 1, 'M')) << 5
                                          << QString(mesfile::kMaxLineBytes - 1, u'M') << exampleOpen << "2";
}

void TestMesFile::reads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, slot);
    QFETCH(QString, message);
    QFETCH(QList<int>, openInputs);
    QFETCH(QString, port);

    const auto result = readBytes(bytes);
    if (auto *error = std::get_if<mesfile::Error>(&result))
        QFAIL(qPrintable(QStringLiteral("line %1: %2").arg(error->line).arg(error->what)));
    const auto &contents = std::get<mesfile::Contents>(result);
    QCOMPARE(contents.messageText[slot], message);
    for (int input = 1; input <= 8; ++input)
        QCOMPARE(contents.triggerOnOpen[input], openInputs.contains(input));
    QCOMPARE(contents.portText, port);
}

void TestMesFile::refuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("line");

    QTest::newRow("empty file") << QByteArray() << 0;
    QTest::newRow("ends after line 17") << kWorkedExampleFile.left(kWorkedExampleFile.lastIndexOf("2\r\n")) << 18;
    QTest::newRow("ends after line 3") << kWorkedExampleFile.left(kWorkedExampleFile.indexOf("xZONE 4")) << 4;
    QTest::newRow("empty message line") << withLine(6, "") << 6;
    QTest::newRow("empty level line") << withLine(12, "") << 12;
    QTest::newRow("word as level") << withLine(11, "one") << 11;
    QTest::newRow("decimal level") << withLine(11, "1.0") << 11;
    QTest::newRow("sign alone") << withLine(17, " - ") << 17;
    QTest::newRow("carriage return in a message") << withLine(2, "xA\rB") << 2;
    QTest::newRow("line over 64 KiB") << withLine(3, "x" + QByteArray(mesfile::kMaxLineBytes, 'M')) << 3;
    QTest::newRow("over 64 KiB with no line end") << "x" + QByteArray(mesfile::kMaxLineBytes + 10, 'M') << 1;
    QTest::newRow("CR-only line ends") << QByteArray(kWorkedExampleFile).replace("\r\n", "\r") << 2;
}

void TestMesFile::refuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, line);
    const auto result = readBytes(bytes);
    QVERIFY(std::holds_alternative<mesfile::Error>(result));
    QCOMPARE(std::get<mesfile::Error>(result).line, line);
    QVERIFY(!std::get<mesfile::Error>(result).what.isEmpty());
}

void TestMesFile::levels_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");  // 1 open, 0 grounded, -1 not a number
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("2") << "2" << 0;
    QTest::newRow("-1") << "-1" << 0;
    QTest::newRow("+1") << "+1" << 1;
    QTest::newRow("0001") << "0001" << 1;
    QTest::newRow("10") << "10" << 0;
    QTest::newRow("11") << "11" << 0;
    QTest::newRow("huge") << "123456789012345678901234567890" << 0;
    QTest::newRow("blanks") << " \t1 \t" << 1;
    QTest::newRow("-0") << "-0" << 0;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blank") << "   " << -1;
    QTest::newRow("inner blank") << "1 1" << -1;
    QTest::newRow("two signs") << "--1" << -1;
    QTest::newRow("hex") << "0x1" << -1;
    QTest::newRow("Arabic-Indic one") << QString(QChar(0x0661)) << -1;
}

void TestMesFile::levels()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const std::optional<bool> level = mesfile::parseLevel(text);
    QCOMPARE(level ? int(*level) : -1, expected);
}

void TestMesFile::readsNoMoreThanItNeeds()
{
    // The reader never takes more of a device than 18 bounded lines.
    QByteArray huge(4 * mesfile::kMaxLineBytes, 'x');
    QBuffer buffer(&huge);
    buffer.open(QIODevice::ReadOnly);
    QVERIFY(std::holds_alternative<mesfile::Error>(mesfile::read(buffer)));
    QVERIFY(buffer.pos() <= mesfile::kMaxLineBytes + 3);
}

QTEST_APPLESS_MAIN(TestMesFile)
#include "tst_mesfile.moc"
