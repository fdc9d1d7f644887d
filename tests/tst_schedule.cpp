// SPDX-License-Identifier: GPL-3.0-or-later
// When scheduled sets go, in a zone with daylight saving (Berlin: forward
// on 29 March 2026 at 02:00, back on 25 October 2026 at 03:00), with times
// the test gives: no test waits for a clock.
#include "service/schedule.h"

#include <QJsonDocument>
#include <QTest>

#include <ctime>

namespace {

const QTimeZone kBerlin("Europe/Berlin");
constexpr unsigned kEveryDay = 0x7f, kMondayToSaturday = 0x3f;

QDateTime utc(const char *text) { return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC(); }

schedule::Entry daily(const char *time, unsigned days = kEveryDay)
{
    schedule::Entry entry;
    entry.set = QStringLiteral("Morning");
    entry.time = QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm"));
    entry.days = days;
    return entry;
}

schedule::Entry once(const char *at)
{
    schedule::Entry entry;
    entry.set = QStringLiteral("Sale");
    const QStringList parts = QString::fromLatin1(at).split(QLatin1Char('T'));
    entry.date = QDate::fromString(parts.first(), Qt::ISODate);
    entry.time = QTime::fromString(parts.last(), QStringLiteral("HH:mm"));
    return entry;
}

}  // namespace

class TestSchedule : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void nextSend_data();
    void nextSend();
    void missed_data();
    void missed();
    void fromTheApi_data();
    void fromTheApi();
};

void TestSchedule::initTestCase()
{
    QVERIFY(kBerlin.isValid());
    // The computer's own zone, as on a shop's computer in Berlin: an entry
    // must mean the same whatever the zone the process runs in.
    qputenv("TZ", "Europe/Berlin");
    ::tzset();
}

void TestSchedule::nextSend_data()
{
    QTest::addColumn<schedule::Entry>("entry");
    QTest::addColumn<QDateTime>("after");
    QTest::addColumn<QDateTime>("next");  // invalid: none
    QTest::newRow("tomorrow at six") << daily("06:00", kMondayToSaturday) << utc("2026-12-09T06:00:00Z")
                                     << utc("2026-12-10T05:00:00Z");
    QTest::newRow("Sunday left out") << daily("06:00", kMondayToSaturday) << utc("2026-12-12T06:00:00Z")
                                     << utc("2026-12-14T05:00:00Z");
    QTest::newRow("a minute before") << daily("06:00") << utc("2026-12-10T04:59:00Z") << utc("2026-12-10T05:00:00Z");
    QTest::newRow("at the minute, the next day")
        << daily("06:00") << utc("2026-12-10T05:00:00Z") << utc("2026-12-11T05:00:00Z");
    QTest::newRow("skipped by spring forward: the gap's end")
        << daily("02:30") << utc("2026-03-28T12:00:00Z") << utc("2026-03-29T01:00:00Z");
    QTest::newRow("after the gap, summer time")
        << daily("03:30") << utc("2026-03-28T12:00:00Z") << utc("2026-03-29T01:30:00Z");
    QTest::newRow("twice on fall back: the first")
        << daily("02:30") << utc("2026-10-24T12:00:00Z") << utc("2026-10-25T00:30:00Z");
    QTest::newRow("twice on fall back: not the second")
        << daily("02:30") << utc("2026-10-25T00:30:00Z") << utc("2026-10-26T01:30:00Z");
    QTest::newRow("once") << once("2026-12-12T09:00") << utc("2026-12-09T12:00:00Z") << utc("2026-12-12T08:00:00Z");
    QTest::newRow("once, passed") << once("2026-12-12T09:00") << utc("2026-12-12T08:00:00Z") << QDateTime();
    QTest::newRow("once, in the gap") << once("2026-03-29T02:15") << utc("2026-03-01T00:00:00Z")
                                      << utc("2026-03-29T01:00:00Z");
    QTest::newRow("no day chosen") << daily("06:00", 0) << utc("2026-12-09T06:00:00Z") << QDateTime();
}

void TestSchedule::nextSend()
{
    QFETCH(schedule::Entry, entry);
    QFETCH(QDateTime, after);
    QFETCH(QDateTime, next);
    const auto found = schedule::nextAfter(entry, after, kBerlin);
    QCOMPARE(found.has_value(), next.isValid());
    if (found)
        QCOMPARE(found->toUTC(), next);
}

void TestSchedule::missed_data()
{
    QTest::addColumn<QDateTime>("from");  // the last time the schedule was judged
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QDateTime>("send");  // invalid: nothing to send
    QTest::addColumn<int>("missed");
    QTest::newRow("on time") << utc("2026-12-10T04:59:00Z") << utc("2026-12-10T05:00:00Z")
                             << utc("2026-12-10T05:00:00Z") << 0;
    QTest::newRow("two hours late") << utc("2026-12-10T04:00:00Z") << utc("2026-12-10T07:00:00Z")
                                    << utc("2026-12-10T05:00:00Z") << 0;
    QTest::newRow("just under 12 hours") << utc("2026-12-10T04:00:00Z") << utc("2026-12-10T16:59:59Z")
                                         << utc("2026-12-10T05:00:00Z") << 0;
    QTest::newRow("12 hours late: missed")
        << utc("2026-12-10T04:00:00Z") << utc("2026-12-10T17:00:00Z") << QDateTime() << 1;
    QTest::newRow("off three days: the latest goes, once")
        << utc("2026-12-07T12:00:00Z") << utc("2026-12-10T08:00:00Z") << utc("2026-12-10T05:00:00Z") << 2;
    QTest::newRow("nothing due") << utc("2026-12-10T05:00:00Z") << utc("2026-12-10T08:00:00Z") << QDateTime() << 0;
}

void TestSchedule::missed()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, now);
    QFETCH(QDateTime, send);
    QFETCH(int, missed);
    const schedule::Due due = schedule::due(daily("06:00"), from, now, kBerlin);
    QCOMPARE(due.send.has_value(), send.isValid());
    if (due.send)
        QCOMPARE(due.send->toUTC(), send);
    QCOMPARE(due.missed.size(), missed);
}

void TestSchedule::fromTheApi_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QDateTime>("after");
    QTest::addColumn<QDateTime>("next");  // invalid: refused
    QTest::newRow("once, in the gap: its end") << QByteArray(R"({"set":"CON","at":"2027-03-28T02:30"})")
                                               << utc("2027-03-01T00:00:00Z") << utc("2027-03-28T01:00:00Z");
    QTest::newRow("once, twice on fall back: the first") << QByteArray(R"({"set":"CON","at":"2026-10-25T02:30"})")
                                                         << utc("2026-10-01T00:00:00Z") << utc("2026-10-25T00:30:00Z");
    QTest::newRow("once, a day there is not")
        << QByteArray(R"({"set":"CON","at":"2027-02-29T09:00"})") << utc("2027-01-01T00:00:00Z") << QDateTime();
}

void TestSchedule::fromTheApi()
{
    QFETCH(QByteArray, json);
    QFETCH(QDateTime, after);
    QFETCH(QDateTime, next);
    const QJsonObject given = QJsonDocument::fromJson(json).object();
    QString why;
    const auto entry = schedule::fromJson(given, &why);
    QCOMPARE(entry.has_value(), next.isValid());
    if (!entry) {
        QVERIFY(!why.isEmpty());
        return;
    }
    const auto found = schedule::nextAfter(*entry, after, kBerlin);
    QVERIFY(found);
    QCOMPARE(found->toUTC(), next);
    // Written and read back, as after a restart: the same entry.
    QCOMPARE(schedule::toJson(*entry), given);
    const auto again = schedule::fromJson(schedule::toJson(*entry), &why);
    QVERIFY2(again, qPrintable(why));
    QCOMPARE(schedule::keyOf(*again), schedule::keyOf(*entry));
}

QTEST_GUILESS_MAIN(TestSchedule)
#include "tst_schedule.moc"
