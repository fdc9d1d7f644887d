// Uploads through the window to pseudo-terminals standing in for the board:
// the bytes, their pacing, and what happens when the link changes or fails.
#include "ptyboard.h"
#include "rig.h"
#include "samples.h"

#include <QTest>

#include <algorithm>
#include <cmath>

namespace {

// Two boards on ports 1 and 2; nothing above.
struct TwoBoards {
    PtyBoard first, second;
    PortMap map()
    {
        return [this](int port) { return port == 1 ? first.path() : port == 2 ? second.path() : absentDevice(port); };
    }
};

void typeSet(Rig &rig, const QStringList &texts, const QList<int> &openInputs)
{
    for (int slot = 1; slot <= 9; ++slot)
        rig.box(slot)->setText(texts.at(slot - 1));
    for (int input : openInputs)
        QTest::mouseClick(rig.option(2 * input - 1), Qt::LeftButton);
}

bool waitIdle(const Rig &rig, int timeoutMs)
{
    return QTest::qWaitFor([&] { return !rig.busy(); }, timeoutMs);
}

}  // namespace

class TestBoard : public QObject {
    Q_OBJECT
private slots:
    void streamArrives_data();
    void streamArrives();
    void pacedAtHalfASecond();
    void busyStateForTheWholeUpload();
    void editDuringUploadWaitsForNextSend();
    void pickDuringUploadContinuesOnNewPort();
    void deviceGoneDuringUpload();
};

void TestBoard::streamArrives_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("openInputs");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("worked example") << QStringList{"AB", "X", "", "", "", "", "", "", "Z"} << QList<int>{1}
                                    << kWorkedExampleStream;
    QTest::newRow("all empty") << QStringList(9, QString()) << QList<int>{} << kAllEmptyStream;
}

void TestBoard::streamArrives()
{
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, openInputs);
    QFETCH(QByteArray, expected);

    TwoBoards boards;
    Rig rig(boards.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    typeSet(rig, texts, openInputs);
    rig.pick("2");
    QVERIFY(rig.comm()->portOpen());
    rig.timer()->setInterval(2);

    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.second.waitForBytes(expected.size(), 2000));
    QTest::qWait(50);  // nothing may follow the end mark
    QCOMPARE(boards.second.received(), expected);
    QVERIFY(boards.first.received().isEmpty());
    QCOMPARE(int(rig.set().uploadPos), expected.size() + 1);
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
    QVERIFY(rig.prompts.told.isEmpty());

    // A second Send starts again from the first character.
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.second.waitForBytes(2 * expected.size(), 2000));
    QCOMPARE(boards.second.received(), expected + expected);
}

void TestBoard::pacedAtHalfASecond()
{
    TwoBoards boards;
    Rig rig(boards.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    typeSet(rig, QStringList(9, QString()), {});
    QVERIFY(rig.comm()->portOpen());
    QVERIFY(!rig.timer()->isActive());  // nothing ticks before the first Send

    const auto pressed = PtyBoard::Clock::now();
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 30000));
    const auto done = PtyBoard::Clock::now();
    QVERIFY(boards.first.waitForBytes(kAllEmptyStream.size(), 2000));
    QCOMPARE(boards.first.received(), kAllEmptyStream);

    // Character k leaves k x 500 ms after the press. The tolerance leaves
    // room for a loaded test machine; the program aims at a few ms.
    constexpr double kToleranceMs = 40.0;
    const auto arrivals = boards.first.arrivals();
    double worst = 0;
    for (size_t k = 1; k <= arrivals.size(); ++k) {
        const double at = std::chrono::duration<double, std::milli>(arrivals[k - 1].at - pressed).count();
        worst = std::max(worst, std::abs(at - 500.0 * double(k)));
    }
    qInfo("largest deviation from k x 500 ms over %zu characters: %.1f ms", arrivals.size(), worst);
    QVERIFY2(worst < kToleranceMs, qPrintable(QString::number(worst)));
    const double busyMs = std::chrono::duration<double, std::milli>(done - pressed).count();
    QVERIFY2(std::abs(busyMs - 22000.0) < kToleranceMs + 50.0, qPrintable(QString::number(busyMs)));
}

void TestBoard::busyStateForTheWholeUpload()
{
    TwoBoards boards;
    Rig rig(boards.map());
    rig.timer()->setInterval(20);
    QTest::mouseClick(rig.send(), Qt::LeftButton);

    QVERIFY(rig.timer()->isActive());
    QCOMPARE(rig.send()->text(), QStringLiteral("Transmitting..."));
    QVERIFY(!rig.send()->isEnabled());
    QCOMPARE(rig.window->cursor().shape(), Qt::WaitCursor);
    // Only Send is locked.
    QVERIFY(rig.combo()->isEnabled() && rig.box(1)->isEnabled() && rig.option(1)->isEnabled());
    QVERIFY(rig.find<QPushButton>("Command2")->isEnabled());
    QVERIFY(rig.find<QPushButton>("Command3")->isEnabled());

    // A click on the disabled button starts nothing.
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    const int length = rig.set().uploadStream.size();
    QVERIFY(boards.first.waitForBytes(3, 2000));
    QVERIFY(rig.set().uploadPos > 1);

    QVERIFY(waitIdle(rig, 10000));
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
    QCOMPARE(rig.window->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(!rig.timer()->isActive());
    QVERIFY(boards.first.waitForBytes(length, 2000));
    QTest::qWait(50);
    QCOMPARE(boards.first.received().size(), length);
}

void TestBoard::editDuringUploadWaitsForNextSend()
{
    TwoBoards boards;
    Rig rig(boards.map());
    typeSet(rig, QStringList(9, QString()), {});
    rig.timer()->setInterval(5);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(boards.first.waitForBytes(2, 2000));
    rig.box(1)->setText(QStringLiteral("LATE"));
    QTest::mouseClick(rig.option(1), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.first.waitForBytes(kAllEmptyStream.size(), 2000));
    QCOMPARE(boards.first.received(), kAllEmptyStream);

    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.first.waitForBytes(2 * kAllEmptyStream.size() + 4, 2000));
    QVERIFY(boards.first.received().mid(kAllEmptyStream.size()).startsWith("1\r1\rLATE\r2\r0\r\r"));
}

void TestBoard::pickDuringUploadContinuesOnNewPort()
{
    TwoBoards boards;
    Rig rig(boards.map());
    typeSet(rig, QStringList(9, QString()), {});
    rig.timer()->setInterval(20);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(boards.first.waitForBytes(10, 5000));
    rig.pick("2");
    const int sentBefore = boards.first.received().size();
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.second.waitForBytes(kAllEmptyStream.size() - sentBefore, 2000));
    QTest::qWait(50);

    QCOMPARE(boards.first.received(), kAllEmptyStream.left(sentBefore));
    QCOMPARE(boards.second.received(), kAllEmptyStream.mid(sentBefore));
    QCOMPARE(rig.set().portText, QStringLiteral("2"));
    QVERIFY(rig.prompts.told.isEmpty());
}

void TestBoard::deviceGoneDuringUpload()
{
    TwoBoards boards;
    Rig rig(boards.map());
    rig.timer()->setInterval(20);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(boards.first.waitForBytes(5, 5000));
    boards.first.hangUp();

    QVERIFY(waitIdle(rig, 2000));
    QTest::qWait(100);  // any further error reports would arrive by now
    QCOMPARE(rig.prompts.told.size(), 1);
    const QString message = rig.prompts.told.first();
    QVERIFY2(message.contains("port 1") && message.contains(boards.first.path()), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral(" of %1 characters").arg(rig.set().uploadStream.size())),
             qPrintable(message));
    QVERIFY2(message.contains("partial"), qPrintable(message));
    QVERIFY(!rig.comm()->portOpen());
    QVERIFY(!rig.timer()->isActive());
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));

    // The editor goes on: a pick and a Send reach the other board whole.
    rig.pick("2");
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 10000));
    QVERIFY(boards.second.waitForBytes(rig.set().uploadStream.size(), 2000));
    QCOMPARE(boards.second.received().size(), rig.set().uploadStream.size());
    QCOMPARE(rig.prompts.told.size(), 1);
}

QTEST_MAIN(TestBoard)
#include "tst_board.moc"
