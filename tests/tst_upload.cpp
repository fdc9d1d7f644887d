// SPDX-License-Identifier: GPL-3.0-or-later
// The message set's start values and the board's upload stream, without a
// window or a port.
#include "link/upload.h"
#include "model/messageset.h"
#include "samples.h"

#include <QTest>

namespace {

QByteArray wire(const QString &stream)
{
    QByteArray bytes;
    for (QChar c : stream)
        bytes += upload::wireByte(c);
    return bytes;
}

}  // namespace

class TestUpload : public QObject {
    Q_OBJECT
private slots:
    void startValues();
    void stream_data();
    void stream();
    void lengthGrowsWithEachText();
    void wireByte_data();
    void wireByte();
    void stepsThroughTheWholeStream();
    void longestSendableStreamCompletes();
    void beginRefusesAnOverlongStream_data();
    void beginRefusesAnOverlongStream();
    void progress_data();
    void progress();
};

void TestUpload::startValues()
{
    MessageSet set;
    giveStartValues(set);
    for (int i = 1; i <= MessageSet::kSlots; ++i) {
        QCOMPARE(set.slotDigit[i], QString::number(i));
        QCOMPARE(set.messageText[i], QStringLiteral("message %1").arg(i));
        QVERIFY(!set.triggerOnOpen[i]);
    }
    QVERIFY(set.slotDigit[0].isEmpty() && set.slotDigit[10].isEmpty());
    QVERIFY(set.messageText[0].isEmpty() && set.messageText[10].isEmpty());
    QVERIFY(set.portText.isEmpty());
    QCOMPARE(set.uploadPos, std::int16_t(0));
}

void TestUpload::stream_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("openInputs");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("worked example") << QStringList{"AB", "X", "", "", "", "", "", "", "Z"} << QList<int>{1}
                                    << kWorkedExampleStream;
    QTest::newRow("all empty") << QStringList(9, QString()) << QList<int>{} << kAllEmptyStream;
    // The idle slot has no input: its flag, even if set, sends nothing.
    QTest::newRow("every level open, idle flag set")
        << QStringList(9, QString()) << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}
        << QByteArray::fromHex("310D310D0D320D310D0D330D310D0D340D310D0D350D310D0D360D310D0D"
                               "370D310D0D380D310D0D390D0D51");
    QTest::newRow("texts sent unchanged")
        << QStringList{" a,b\"", "", "", "", "", "", "", "\t", "\xc3\xa9\xe2\x82\xac"} << QList<int>{8}
        << QByteArray("1\r0\r a,b\"\r2\r0\r\r3\r0\r\r4\r0\r\r5\r0\r\r6\r0\r\r7\r0\r\r8\r1\r\t\r9\r\xe9?\rQ");
}

void TestUpload::stream()
{
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, openInputs);
    QFETCH(QByteArray, expected);

    MessageSet set = emptySet();
    for (int i = 1; i <= MessageSet::kSlots; ++i)
        set.messageText[i] = texts.at(i - 1);
    for (int input : openInputs)
        set.triggerOnOpen[input] = true;

    const QString stream = upload::buildStream(set);
    QCOMPARE(wire(stream), expected);
    QVERIFY(!stream.contains(u'\n'));
}

void TestUpload::lengthGrowsWithEachText()
{
    MessageSet set = emptySet();
    QCOMPARE(upload::buildStream(set).size(), 44);
    int total = 0;
    for (int i = 1; i <= MessageSet::kSlots; ++i) {
        set.messageText[i] = QString(16, QChar(char16_t(u'A' + i)));
        total += 16;
        QCOMPARE(upload::buildStream(set).size(), 44 + total);
    }
    QCOMPARE(total + 44, 188);
}

void TestUpload::wireByte_data()
{
    QTest::addColumn<QChar>("character");
    QTest::addColumn<char>("byte");
    QTest::newRow("ASCII letter") << QChar(u'A') << 'A';
    QTest::newRow("CR") << QChar(u'\r') << '\r';
    QTest::newRow("Latin-1 e acute") << QChar(0xE9) << '\xe9';
    QTest::newRow("last Latin-1") << QChar(0xFF) << '\xff';
    QTest::newRow("euro sign") << QChar(0x20AC) << '?';
    QTest::newRow("first beyond Latin-1") << QChar(0x100) << '?';
    QTest::newRow("half of a surrogate pair") << QChar(0xD83D) << '?';
}

void TestUpload::wireByte()
{
    QFETCH(QChar, character);
    QFETCH(char, byte);
    QCOMPARE(upload::wireByte(character), byte);
}

void TestUpload::stepsThroughTheWholeStream()
{
    MessageSet set = emptySet();
    set.messageText[1] = QStringLiteral("HI");
    set.uploadStream = upload::buildStream(set);
    set.uploadPos = 1;

    QByteArray sent;
    bool done = false;
    int ticks = 0;
    while (!done) {
        QVERIFY(ticks < 1000);
        sent += upload::nextByte(set);
        done = upload::advance(set);
        ++ticks;
    }
    QCOMPARE(ticks, 46);
    QCOMPARE(sent, wire(set.uploadStream));
    QCOMPARE(int(set.uploadPos), set.uploadStream.size() + 1);
}

void TestUpload::longestSendableStreamCompletes()
{
    MessageSet set = emptySet();
    set.messageText[9] = QString(upload::kMaxStreamLength - 44, u'x');
    set.uploadStream = upload::buildStream(set);
    QCOMPARE(set.uploadStream.size(), upload::kMaxStreamLength);
    set.uploadPos = 1;
    int ticks = 0;
    while (!upload::advance(set)) {
        QVERIFY(set.uploadPos > 0);
        ++ticks;
    }
    QCOMPARE(ticks + 1, upload::kMaxStreamLength);
    QCOMPARE(int(set.uploadPos), 32767);
}

void TestUpload::beginRefusesAnOverlongStream_data()
{
    QTest::addColumn<int>("textLength");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("longest that fits") << upload::kMaxStreamLength - 44 << true;
    QTest::newRow("one more") << upload::kMaxStreamLength - 43 << false;
    QTest::newRow("past the 16-bit counter") << 70000 << false;
}

void TestUpload::beginRefusesAnOverlongStream()
{
    QFETCH(int, textLength);
    QFETCH(bool, accepted);

    MessageSet set = emptySet();
    set.uploadStream = QStringLiteral("previous");
    set.uploadPos = 9;
    set.messageText[3] = QString(textLength, u'y');
    const upload::Begun begun = upload::begin(set);
    QCOMPARE(begun.ok, accepted);
    QCOMPARE(begun.length, qsizetype(textLength + 44));
    if (accepted) {
        QCOMPARE(set.uploadStream, upload::buildStream(set));
        QCOMPARE(set.uploadPos, std::int16_t(1));
    } else {
        QCOMPARE(set.uploadStream, QStringLiteral("previous"));
        QCOMPARE(set.uploadPos, std::int16_t(9));
    }
}

void TestUpload::progress_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("uploadPos");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("fraction");
    QTest::newRow("just sent") << 188 << 1 << 500 << "0 of 188 characters, 1:34 left" << 0.0;
    QTest::newRow("under way") << 188 << 38 << 500 << "37 of 188 characters, 1:16 left" << 37.0 / 188;
    QTest::newRow("half a second rounds up") << 44 << 44 << 500 << "43 of 44 characters, 0:01 left" << 43.0 / 44;
    QTest::newRow("done") << 44 << 45 << 500 << "44 of 44 characters, 0:00 left" << 1.0;
    QTest::newRow("before any Send") << 0 << 0 << 500 << "0 of 0 characters, 0:00 left" << 0.0;
    QTest::newRow("longest stream") << 32766 << 1 << 500 << "0 of 32766 characters, 273:03 left" << 0.0;
}

void TestUpload::progress()
{
    QFETCH(int, length);
    QFETCH(int, uploadPos);
    QFETCH(int, intervalMs);
    QFETCH(QString, text);
    QFETCH(double, fraction);
    MessageSet set;
    set.uploadStream = QString(length, u'x');
    set.uploadPos = std::int16_t(uploadPos);
    const upload::Progress p = upload::progress(set, intervalMs);
    QCOMPARE(upload::describe(p), text);
    QCOMPARE(p.fraction(), fraction);
}

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"
