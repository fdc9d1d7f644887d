// SPDX-License-Identifier: GPL-3.0-or-later
// Uploads through the window to pseudo-terminals standing in for the board:
// the bytes, their pacing, and what happens when the link changes or fails.
#include "ptyboard.h"
#include "rig.h"
#include "samples.h"

#include "eventloop.h"
#include "handovers.h"
#include "link/upload.h"

#include <QTest>
#include <QToolTip>

#include <algorithm>

namespace {

// Two boards on ports 1 and 2; nothing above.
struct TwoBoards {
    PtyBoard first, second;
    PortMap map()
    {
        return [this] { return withAbsentAfter({first.path(), second.path()}); };
    }
};

void typeSet(Rig &rig, const QStringList &texts, const QList<int> &openInputs)
{
    for (int slot = 1; slot <= 9; ++slot)
        rig.box(slot)->setText(texts.at(slot - 1));
    for (int input : openInputs)
        QTest::mouseClick(rig.option(2 * input - 1), Qt::LeftButton);
}

double ms(PtyBoard::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const QString kSendHint = QStringLiteral("Make sure Tavro is in 'progam'-mode before transmitting");

// The Send button as it was before the first upload.
bool sendButtonAtRest(const Rig &rig)
{
    const auto *send = static_cast<SendButton *>(rig.send());
    return send->toolTip() == kSendHint && send->accessibleDescription() == kSendHint && send->progress() == 0
           && send->text() == QStringLiteral("Send to Tavro");
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
    void pacedWithoutCatchingUp_data();
    void pacedWithoutCatchingUp();
    void busyStateForTheWholeUpload();
    void editDuringUploadWaitsForNextSend();
    void pickDuringUploadContinuesOnNewPort();
    void deviceGoneDuringUpload();
    void progressOnTheButton();
    void tooltipShowingFollowsTheUpload();
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
    QVERIFY(waitIdle(rig, 30000));
    QVERIFY(boards.second.waitForBytes(expected.size(), 2000));
    QTest::qWait(50);  // nothing may follow the end mark
    QCOMPARE(boards.second.received(), expected);
    QVERIFY(boards.first.received().isEmpty());
    QCOMPARE(int(rig.set().uploadPos), expected.size() + 1);
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
    QVERIFY(rig.prompts.told.isEmpty());

    // A second Send starts again from the first character.
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 30000));
    QVERIFY(boards.second.waitForBytes(2 * expected.size(), 2000));
    QCOMPARE(boards.second.received(), expected + expected);
}

void TestBoard::pacedWithoutCatchingUp_data()
{
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("stallMs");
    // The stall is shorter than the interval, so a timer that made up for
    // a late tick would send the next character early.
    QTest::newRow("500 ms, stalled 300 ms") << 500 << 300;
    QTest::newRow("100 ms, stalled 60 ms") << 100 << 60;
}

void TestBoard::pacedWithoutCatchingUp()
{
    QFETCH(int, intervalMs);
    QFETCH(int, stallMs);
    // The kernel delivers a pseudo-terminal's bytes to its reader late now
    // and then, by tens of ms on a loaded machine, so a gap the board side
    // sees may be that much shorter than the one the program made: what
    // arrives is held only to its hand-over, which it can never precede.
    // A loaded machine may wake the program late, by a second and more, so
    // no gap is held to an upper bound here: how late ticks come is the
    // benchmark's to measure, on a quiet machine.
    // The stall starts this long before the tick is due, so that it holds
    // the tick up even when the stall's own timer is late.
    const auto kLead = std::chrono::milliseconds(intervalMs * 3 / 10);
    constexpr size_t kStalledAfter = 10;
    const double interval = intervalMs;

    TwoBoards boards;
    Rig rig(boards.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    typeSet(rig, QStringList(9, QString()), {});
    QVERIFY(rig.comm()->portOpen());
    QVERIFY(!rig.timer()->isActive());  // nothing ticks before the first Send
    if (intervalMs != upload::kTickMs)
        rig.timer()->setInterval(intervalMs);
    else
        QCOMPARE(rig.timer()->interval(), upload::kTickMs);

    const HandOvers handed(rig.timer(), rig.set());
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    // The GUI thread stalls just before a tick is due, as it does when the
    // system holds the program up.
    QVERIFY(runUntil([&] { return handed.times.size() >= kStalledAfter; }, 30000));
    const auto due = handed.times[kStalledAfter - 1] + std::chrono::milliseconds(intervalMs);
    PtyBoard::Clock::time_point stallStart;
    QTimer stall;
    stall.setSingleShot(true);
    stall.setTimerType(Qt::PreciseTimer);
    connect(&stall, &QTimer::timeout, [&] {
        stallStart = PtyBoard::Clock::now();
        while (PtyBoard::Clock::now() < stallStart + std::chrono::milliseconds(stallMs)) {
        }
    });
    stall.start(int(std::chrono::floor<std::chrono::milliseconds>(due - kLead - PtyBoard::Clock::now()).count()));
    QVERIFY(runUntil([&] { return !rig.busy(); }, 60000));
    QVERIFY(boards.first.waitForBytes(kAllEmptyStream.size(), 2000));
    QCOMPARE(boards.first.received(), kAllEmptyStream);
    // On a loaded machine the stall's own timer may come after the tick it
    // was aimed at; it then holds up the one after, which tells as much.
    size_t stalled = kStalledAfter;
    while (stalled < handed.times.size() && handed.times[stalled] <= stallStart)
        ++stalled;
    QVERIFY2(stalled < handed.times.size(), "the stall came after the last character");

    // No two characters closer than the interval, the stall or not.
    const auto arrivals = boards.first.arrivals();
    QCOMPARE(handed.times.size(), arrivals.size());
    double smallestHanded = 1e9, smallest = 1e9;
    for (size_t k = 1; k < arrivals.size(); ++k) {
        const double gap = ms(handed.times[k] - handed.times[k - 1]);
        smallestHanded = std::min(smallestHanded, gap);
        smallest = std::min(smallest, ms(arrivals[k].at - arrivals[k - 1].at));
        QVERIFY2(arrivals[k].at >= handed.times[k],
                 qPrintable(QStringLiteral("character %1 arrived before it was handed over").arg(k)));
    }
    qInfo("smallest gap at an interval of %d ms: %.3f ms handed over, %.3f ms received", intervalMs, smallestHanded,
          smallest);
    QVERIFY2(smallestHanded >= interval, qPrintable(QString::number(smallestHanded)));

    // The stall pushes the rest of the stream back by as much as it held
    // the tick up: the gap holds the stall as well as the wait before it.
    const double stalledGap = ms(handed.times[stalled] - handed.times[stalled - 1]);
    const double stalledFrom = ms(stallStart - handed.times[stalled - 1]);
    QVERIFY2(stalledGap >= stalledFrom + stallMs,
             qPrintable(QStringLiteral("%1 ms, stalled from %2 ms").arg(stalledGap).arg(stalledFrom)));
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

    QVERIFY(waitIdle(rig, 30000));
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
    QVERIFY(waitIdle(rig, 30000));
    QVERIFY(boards.first.waitForBytes(kAllEmptyStream.size(), 2000));
    QCOMPARE(boards.first.received(), kAllEmptyStream);

    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 30000));
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
    QVERIFY(waitIdle(rig, 30000));
    QVERIFY(boards.second.waitForBytes(kAllEmptyStream.size() - sentBefore, 2000));
    QTest::qWait(50);

    QCOMPARE(boards.first.received(), kAllEmptyStream.left(sentBefore));
    QCOMPARE(boards.second.received(), kAllEmptyStream.mid(sentBefore));
    QCOMPARE(rig.set().portText, QStringLiteral("2"));
    QVERIFY(rig.prompts.told.isEmpty());
    QVERIFY(sendButtonAtRest(rig));
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
    QVERIFY(sendButtonAtRest(rig));

    // The editor goes on: a pick and a Send reach the other board whole.
    rig.pick("2");
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(waitIdle(rig, 30000));
    QVERIFY(boards.second.waitForBytes(rig.set().uploadStream.size(), 2000));
    QCOMPARE(boards.second.received().size(), rig.set().uploadStream.size());
    QCOMPARE(rig.prompts.told.size(), 1);
}

void TestBoard::progressOnTheButton()
{
    TwoBoards boards;
    Rig rig(boards.map());
    typeSet(rig, QStringList(9, QString()), {});
    QVERIFY(sendButtonAtRest(rig));
    rig.timer()->setInterval(20);
    auto *send = static_cast<SendButton *>(rig.send());
    const QSize size = send->size();
    const QPoint where = send->pos();

    struct Seen {
        double progress;
        QString tip, description, caption;
    };
    std::vector<Seen> seen;
    const auto look = [&] {
        seen.push_back({send->progress(), send->toolTip(), send->accessibleDescription(), send->text()});
    };
    QMetaObject::Connection afterTick = connect(rig.timer(), &Pacer::timeout, look);
    QTest::mouseClick(send, Qt::LeftButton);
    look();  // right after the press
    QVERIFY(waitIdle(rig, 30000));
    disconnect(afterTick);

    // 44 characters at 20 ms: the press, then each tick but the last, which
    // ends the upload.
    QCOMPARE(int(seen.size()), 1 + 44);
    for (const int sent : {0, 1, 37, 43}) {
        const Seen &s = seen[size_t(sent)];
        QCOMPARE(s.progress, sent / 44.0);
        const int msLeft = (44 - sent) * 20;
        const QString text = QStringLiteral("%1 of 44 characters, 0:%2 left")
                                 .arg(sent)
                                 .arg((msLeft + 999) / 1000, 2, 10, QLatin1Char('0'));
        QCOMPARE(s.tip, text);
        QCOMPARE(s.description, text);
        QCOMPARE(s.caption, QStringLiteral("Transmitting..."));
    }
    // The face fills a little more with every character, and no further.
    for (size_t k = 1; k < seen.size() - 1; ++k)
        QVERIFY(seen[k].progress > seen[k - 1].progress);
    QVERIFY(sendButtonAtRest(rig));
    QCOMPARE(send->size(), size);
    QCOMPARE(send->pos(), where);
}

// A user resting the mouse on Send watches the count go on in the tooltip
// already showing, and sees the hint again once the upload is over.
void TestBoard::tooltipShowingFollowsTheUpload()
{
    TwoBoards boards;
    Rig rig(boards.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    typeSet(rig, QStringList(9, QString()), {});
    rig.timer()->setInterval(20);
    QPushButton *send = rig.send();
    QTest::mouseClick(send, Qt::LeftButton);
    QToolTip::showText(send->mapToGlobal(send->rect().center()), send->toolTip(), send);
    QVERIFY(QToolTip::isVisible());

    QStringList shown;
    QMetaObject::Connection afterTick =
        connect(rig.timer(), &Pacer::timeout, [&] { shown << (QToolTip::isVisible() ? QToolTip::text() : QString()); });
    QVERIFY(waitIdle(rig, 30000));
    disconnect(afterTick);

    QCOMPARE(shown.size(), 44);
    QCOMPARE(shown.at(0), QStringLiteral("1 of 44 characters, 0:01 left"));
    QCOMPARE(shown.at(42), QStringLiteral("43 of 44 characters, 0:01 left"));
    QCOMPARE(shown.at(43), kSendHint);
    QToolTip::hideText();
}

QTEST_MAIN(TestBoard)
#include "tst_board.moc"
