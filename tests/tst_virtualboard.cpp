// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual board: what it makes of an upload stream, and the editor
// uploading to it in the same process.
#include "board/boardreport.h"
#include "board/boardwindow.h"
#include "board/interpreter.h"
#include "board/virtualboard.h"
#include "rig.h"
#include "samples.h"

#include <QCheckBox>
#include <QTest>

class TestVirtualBoard : public QObject {
    Q_OBJECT
private slots:
    void interprets_data();
    void interprets();
    void reports_data();
    void reports();
    void holdsWhatTheEditorSent();
};

void TestVirtualBoard::interprets_data()
{
    QTest::addColumn<QByteArray>("before");  // an earlier upload, at the board's pace
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("lateMs");  // the sixth byte comes this much after its time
    QTest::addColumn<bool>("tooFast");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QList<int>>("openInputs");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("error");

    const QStringList worked{"AB", "X", "", "", "", "", "", "", "Z"};
    QTest::newRow("worked example") << QByteArray() << kWorkedExampleStream << 500 << 0 << false << worked
                                    << QList<int>{1} << true << QString();
    QTest::newRow("all empty") << QByteArray() << kAllEmptyStream << 500 << 0 << false << QStringList(9, QString())
                               << QList<int>{} << true << QString();
    QTest::newRow("a blank message keeps the old one")
        << kWorkedExampleStream << kAllEmptyStream << 500 << 0 << false << worked << QList<int>{} << true << QString();
    // Slot 2's level has come, its CR not yet: only slot 1 took effect.
    QTest::newRow("cut off in a record") << QByteArray() << kWorkedExampleStream.left(10) << 500 << 0 << false
                                         << QStringList{"AB", "", "", "", "", "", "", "", ""} << QList<int>{1} << false
                                         << QString();
    QTest::newRow("a malformed record") << QByteArray() << QByteArray("1\r1\rAB\r2\r7\rX\r") << 500 << 0 << false
                                        << QStringList{"AB", "", "", "", "", "", "", "", ""} << QList<int>{1} << false
                                        << QStringLiteral("record 2: expected the level \"0\" or \"1\", got \"7\"");
    QTest::newRow("gaps under the interval")
        << QByteArray() << kWorkedExampleStream << 100 << 0 << true << worked << QList<int>{1} << true << QString();
    QTest::newRow("slightly fast throughout")
        << QByteArray() << kWorkedExampleStream << 490 << 0 << true << worked << QList<int>{1} << true << QString();
    QTest::newRow("a delivery's jitter") << QByteArray() << kWorkedExampleStream << 498 << 0 << false << worked
                                         << QList<int>{1} << true << QString();
    QTest::newRow("a late byte, made up by the gap before")
        << QByteArray() << kWorkedExampleStream << 500 << 8 << false << worked << QList<int>{1} << true << QString();
    QTest::newRow("a byte later than delivery explains")
        << QByteArray() << kWorkedExampleStream << 500 << 20 << true << worked << QList<int>{1} << true << QString();
}

void TestVirtualBoard::interprets()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, stream);
    QFETCH(int, gapMs);
    QFETCH(int, lateMs);
    QFETCH(QStringList, messages);
    QFETCH(QList<int>, openInputs);
    QFETCH(bool, complete);
    QFETCH(QString, error);

    BoardInterpreter board;
    auto at = BoardInterpreter::Clock::now();
    for (char byte : before)
        board.receive(byte, at += std::chrono::milliseconds(500));
    for (qsizetype k = 0; k < stream.size(); ++k) {
        at += std::chrono::milliseconds(gapMs);
        board.receive(stream[k], at + std::chrono::milliseconds(k == 5 ? lateMs : 0));
    }

    QCOMPARE(QStringList(board.messages().begin() + 1, board.messages().end()), messages);
    for (int input = 1; input <= 8; ++input)
        QCOMPARE(board.openLevels()[size_t(input)], openInputs.contains(input));
    QCOMPARE(board.complete(), complete);
    QCOMPARE(board.protocolError(), error);
    QCOMPARE(board.received(), QString::fromLatin1(stream));
    QTEST(board.tooFast(), "tooFast");
    QCOMPARE(*board.smallestGapMs(), double(gapMs - lateMs));
}

void TestVirtualBoard::reports_data()
{
    QTest::addColumn<QByteArray>("before");  // an upload told already
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("fallsSilent");
    QTest::addColumn<QStringList>("lines");  // the report, without the set held after its end

    const QString begun = QStringLiteral("An upload has begun. Line settings: 2400 8N1, as the board expects");
    QTest::newRow("the whole set") << QByteArray() << kWorkedExampleStream << 500 << "2400 8N1" << false
                                   << QStringList{begun, "Protocol: the whole set arrived",
                                                  "Smallest gap between characters: 500.0 ms"};
    QTest::newRow("a second upload") << kWorkedExampleStream << kAllEmptyStream << 500 << "2400 8N1" << false
                                     << QStringList{begun, "Protocol: the whole set arrived",
                                                    "Smallest gap between characters: 500.0 ms"};
    QTest::newRow("too fast, at other settings")
        << QByteArray() << kAllEmptyStream << 100 << "9600 7E1" << false
        << QStringList{"An upload has begun. Line settings: 9600 7E1; the board expects 2400 8N1",
                       "Smallest gap between characters: 100.0 ms, under the board's 500 ms",
                       "Protocol: the whole set arrived",
                       "Smallest gap between characters: 100.0 ms, under the board's 500 ms"};
    QTest::newRow("a malformed record") << QByteArray() << QByteArray("1\r1\rAB\r2\r7\r") << 500 << "2400 8N1" << false
                                        << QStringList{begun,
                                                       "Protocol fault: record 2: expected the level \"0\" or \"1\", "
                                                       "got \"7\"",
                                                       "Smallest gap between characters: 500.0 ms"};
    QTest::newRow("a sender that stops") << QByteArray() << kWorkedExampleStream.left(10) << 500 << "2400 8N1" << true
                                         << QStringList{begun,
                                                        "Nothing more has arrived after 10 characters: the upload "
                                                        "ended short, and the board keeps the records that arrived "
                                                        "whole.",
                                                        "Smallest gap between characters: 500.0 ms"};
}

void TestVirtualBoard::reports()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, stream);
    QFETCH(int, gapMs);
    QFETCH(QString, settings);
    QFETCH(bool, fallsSilent);
    QFETCH(QStringList, lines);

    BoardInterpreter board;
    BoardReport report;
    auto at = BoardInterpreter::Clock::now();
    for (char byte : before)
        board.receive(byte, at += std::chrono::milliseconds(500));
    report.update(board, settings);
    QStringList told;
    for (char byte : stream) {
        board.receive(byte, at += std::chrono::milliseconds(gapMs));
        told << report.update(board, settings);
    }
    if (fallsSilent)
        told << report.quiet(board);
    // Told once: neither more silence nor a look with nothing new adds to it.
    QCOMPARE(report.quiet(board), QStringList());
    QCOMPARE(report.update(board, settings), QStringList());

    lines << QStringLiteral("The board holds:");
    for (const QString &line : boardtext::storedSet(board))
        lines << QStringLiteral("  ") + line;
    QCOMPARE(told, lines);
}

void TestVirtualBoard::holdsWhatTheEditorSent()
{
    VirtualBoard board;
    QVERIFY2(!board.device().isEmpty(), qPrintable(board.error()));
    Rig rig([&] { return QStringList{board.device()}; });
    BoardWindow window(board);
    QCOMPARE(rig.entries(), QStringList{"1"});
    QVERIFY(rig.comm()->portOpen());
    const QStringList texts{"FRONT DOOR", "BACK DOOR", "", "ZONE 4", "ZONE 5", "ZONE 6", "ZONE 7", "ZONE 8", "WELCOME"};
    for (int slot = 1; slot <= 9; ++slot)
        rig.box(slot)->setText(texts[slot - 1]);
    rig.timer()->setInterval(5);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return board.board().complete(); }, 10000));

    QCOMPARE(QStringList(board.board().messages().begin() + 1, board.board().messages().end()), texts);
    QCOMPARE(board.lineSettings(), QStringLiteral("2400 8N1"));
    QVERIFY(board.board().tooFast());
    // Every level is 0 and every input open, so no input is active.
    QCOMPARE(window.display()->text(), QStringLiteral("WELCOME"));
    window.findChildren<QCheckBox *>().at(1)->setChecked(false);
    QCOMPARE(window.display()->text(), QStringLiteral("BACK DOOR"));
}

QTEST_MAIN(TestVirtualBoard)
#include "tst_virtualboard.moc"
