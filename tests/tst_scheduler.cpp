// SPDX-License-Identifier: GPL-3.0-or-later
// The schedule as it runs, on a clock the test sets: what a computer that
// was off sends, a scheduled send that falls during another upload, tries
// after a failed port, a deleted set, a clock that jumps or is not yet
// synchronised, and edits of the schedule that must not be lost.
#include "service/auditlog.h"
#include "service/scheduler.h"
#include "service/setstore.h"
#include "service/statefolder.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QTimeZone kBerlin("Europe/Berlin");
// Monday 7 December 2026, in Berlin (UTC+1).
QDateTime berlin(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute), kBerlin).toUTC();
}

QJsonArray entries(const QByteArray &json) { return QJsonDocument::fromJson(json).array(); }

}  // namespace

class TestScheduler : public QObject {
    Q_OBJECT
private slots:
    void init();
    void catchUp_data();
    void catchUp();
    void duringUpload();
    void retries_data();
    void retries();
    void deletedSet();
    void clock_data();
    void clock();
    void edits_data();
    void edits();
    void readAtStart_data();
    void readAtStart();

private:
    // A scheduler over the test's folder, as a fresh start of the server
    // makes one.
    std::unique_ptr<Scheduler> start();
    void save(Scheduler &scheduler, const QByteArray &list);
    QList<QJsonObject> logged(const QString &event) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StateFolder> m_state;
    std::unique_ptr<SetStore> m_sets;
    std::unique_ptr<AuditLog> m_log;
    QDateTime m_now;
    bool m_synchronised = true;
    QStringList m_started;               // the sets the scheduler started
    QList<Scheduler::Start> m_outcomes;  // what each start does, in turn; then Started
};

void TestScheduler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = std::make_unique<StateFolder>(m_dir->path());
    QVERIFY(m_state->open());
    m_sets = std::make_unique<SetStore>(*m_state);
    m_log = std::make_unique<AuditLog>(m_dir->path());
    SetStore::Refusal refusal;
    SetStore::Set set;
    set.messages[0] = QStringLiteral("OPEN");
    for (const char *name : {"Morning", "Sale", "Night"})
        QVERIFY(!m_sets->put(QString::fromLatin1(name), set, std::nullopt, true, &refusal).isEmpty());
    m_now = berlin(7, 5);
    m_synchronised = true;
    m_started.clear();
    m_outcomes.clear();
}

std::unique_ptr<Scheduler> TestScheduler::start()
{
    Scheduler::Clocks clocks{[this] { return m_now; }, [this] { return m_synchronised; }, kBerlin};
    auto scheduler = std::make_unique<Scheduler>(*m_state, *m_log, *m_sets, clocks, [this](const QString &set) {
        const Scheduler::Start outcome =
            m_outcomes.isEmpty() ? Scheduler::Start{Scheduler::Start::Started, false, {}} : m_outcomes.takeFirst();
        if (outcome.outcome == Scheduler::Start::Started)
            m_started << set;
        return outcome;
    });
    if (!scheduler->open())
        qFatal("%s", qPrintable(scheduler->error()));
    return scheduler;
}

void TestScheduler::save(Scheduler &scheduler, const QByteArray &list)
{
    SetStore::Refusal refusal;
    QVERIFY2(scheduler.replace(entries(list), scheduler.version(), "anna", "192.0.2.7", &refusal),
             qPrintable(refusal.error));
}

QList<QJsonObject> TestScheduler::logged(const QString &event) const
{
    QList<QJsonObject> found;
    for (const QJsonObject &entry : m_log->entries(1000)) {
        if (entry.value("event").toString() == event)
            found << entry;
    }
    return found;
}

void TestScheduler::catchUp_data()
{
    QTest::addColumn<QDateTime>("back");  // when the computer comes back
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<int>("missed");
    QTest::addColumn<QString>("late");
    // Off from Monday 05:00; "Morning" is due at 06:00 each day.
    QTest::newRow("back before it was due") << berlin(7, 5, 30) << QStringList() << 0 << QString();
    QTest::newRow("11 h late: sent") << berlin(7, 17) << QStringList{"Morning"} << 0 << "11 h 0 min late";
    QTest::newRow("12 h 30 late: missed") << berlin(7, 18, 30) << QStringList() << 1 << QString();
    QTest::newRow("two days off: the latest sent, once")
        << berlin(9, 7) << QStringList{"Morning"} << 2 << "1 h 0 min late";
}

void TestScheduler::catchUp()
{
    QFETCH(QDateTime, back);
    QFETCH(QStringList, sent);
    QFETCH(int, missed);
    QFETCH(QString, late);
    {
        auto scheduler = start();
        save(*scheduler, R"([{"set":"Morning","time":"06:00","days":["mon","tue","wed","thu","fri","sat","sun"]}])");
    }
    m_now = back;
    auto scheduler = start();
    QCOMPARE(m_started, sent);
    QCOMPARE(logged("scheduled send missed").size(), missed);
    const QList<QJsonObject> lateSends = logged("scheduled send late");
    QCOMPARE(lateSends.size(), late.isEmpty() ? 0 : 1);
    if (!late.isEmpty())
        QVERIFY2(lateSends.first().value("detail").toString().endsWith(late),
                 qPrintable(lateSends.first().value("detail").toString()));
    // Once: the same look again, and a restart, send nothing more.
    scheduler->check();
    scheduler.reset();
    start();
    QCOMPARE(m_started, sent);
}

void TestScheduler::duringUpload()
{
    auto scheduler = start();
    save(*scheduler, R"([{"set":"Morning","time":"06:00","days":["mon"]},{"set":"Sale","at":"2026-12-07T06:01"}])");
    // Someone's upload from the page runs over both.
    m_outcomes = {{Scheduler::Start::Busy, false, {}}};
    m_now = berlin(7, 6, 2);
    scheduler->check();
    QCOMPARE(m_started, QStringList());
    QCOMPARE(scheduler->toJson().value("entries").toArray().at(0).toObject().value("last").toObject().value("result"),
             "waiting");
    // It ends: the one due first goes; the other waits for that one.
    m_now = berlin(7, 6, 3);
    scheduler->uploadEnded("sent", false, {});
    QCOMPARE(m_started, QStringList{"Morning"});
    scheduler->check();
    QCOMPARE(m_started, QStringList{"Morning"});
    scheduler->uploadEnded("sent", false, {});
    QCOMPARE(m_started, (QStringList{"Morning", "Sale"}));
    scheduler->uploadEnded("sent", false, {});
    const QJsonArray list = scheduler->toJson().value("entries").toArray();
    for (const QJsonValue &entry : list)
        QCOMPARE(entry.toObject().value("last").toObject().value("result"), "sent");
}

void TestScheduler::retries_data()
{
    QTest::addColumn<int>("failures");  // starts that fail before one starts
    QTest::addColumn<bool>("retryable");
    QTest::addColumn<bool>("drainFails");  // the first that starts does not drain
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("result");
    QTest::newRow("port absent, then back") << 2 << true << false << 3 << "sent";
    QTest::newRow("port absent all five tries") << 5 << true << false << 5 << "failed";
    QTest::newRow("port not this user's: no retry") << 1 << false << false << 1 << "failed";
    QTest::newRow("device did not drain, then sent") << 0 << true << true << 2 << "sent";
}

void TestScheduler::retries()
{
    QFETCH(int, failures);
    QFETCH(bool, retryable);
    QFETCH(bool, drainFails);
    QFETCH(int, tries);
    QFETCH(QString, result);
    auto scheduler = start();
    save(*scheduler, R"([{"set":"Night","time":"22:00","days":["mon"]}])");
    for (int i = 0; i < failures; ++i)
        m_outcomes << Scheduler::Start{Scheduler::Start::Failed, retryable, QStringLiteral("Port 1 is absent.")};
    m_outcomes << Scheduler::Start{Scheduler::Start::Started, false, {}};
    m_now = berlin(7, 22);
    int starts = 0;
    const auto lastOf = [&] {
        return scheduler->toJson().value("entries").toArray().at(0).toObject().value("last").toObject();
    };
    // A minute between tries, and none sooner.
    for (int minute = 0; minute < 8; ++minute) {
        scheduler->check();
        if (m_started.size() > starts) {
            starts = int(m_started.size());
            if (drainFails && starts == 1) {
                scheduler->uploadEnded("failed", true, QStringLiteral("The device did not take the last characters."));
                m_outcomes << Scheduler::Start{Scheduler::Start::Started, false, {}};
            } else {
                scheduler->uploadEnded("sent", false, {});
            }
        }
        m_now = m_now.addSecs(30);
        scheduler->check();
        m_now = m_now.addSecs(30);
    }
    const QJsonObject last = lastOf();
    QCOMPARE(last.value("result").toString(), result);
    QCOMPARE(last.value("try").toInt(), tries);
    // Each failed try is shown, a minute after the one before.
    const QJsonArray failed = last.value("tries").toArray();
    QCOMPARE(failed.size(), result == "sent" ? tries - 1 : tries);
    for (qsizetype i = 1; i < failed.size(); ++i) {
        const auto at = [&](qsizetype n) {
            return QDateTime::fromString(failed.at(n).toObject().value("at").toString(), Qt::ISODate);
        };
        QCOMPARE(at(i - 1).secsTo(at(i)), 60);
    }
    QCOMPARE(m_started.size(), result == "sent" ? (drainFails ? 2 : 1) : 0);
}

void TestScheduler::deletedSet()
{
    auto scheduler = start();
    save(*scheduler, R"([{"set":"Sale","at":"2026-12-07T09:00"}])");
    SetStore::Refusal refusal;
    const auto sale = m_sets->get("Sale", &refusal);
    QVERIFY(m_sets->remove("Sale", sale->version, &refusal));
    const QJsonObject entry = scheduler->toJson().value("entries").toArray().at(0).toObject();
    QVERIFY(entry.value("broken").toString().contains("\"Sale\""));
    m_now = berlin(7, 9);
    scheduler->check();
    QCOMPARE(m_started, QStringList());
    QCOMPARE(scheduler->toJson().value("entries").toArray().at(0).toObject().value("last").toObject().value("result"),
             "broken");
}

void TestScheduler::clock_data()
{
    QTest::addColumn<QDateTime>("first");  // the clock when the server starts
    QTest::addColumn<bool>("synchronisedThen");
    QTest::addColumn<QDateTime>("then");  // the clock at the next look, synchronised
    QTest::addColumn<QStringList>("sent");
    // "Sale" at 09:00 on the 8th.
    QTest::newRow("set forward past it, within 12 h") << berlin(8, 8) << true << berlin(8, 11) << QStringList{"Sale"};
    QTest::newRow("set back a day: nothing yet") << berlin(8, 8) << true << berlin(7, 8) << QStringList();
    QTest::newRow("not synchronised at its time, then it is")
        << berlin(8, 9, 30) << false << berlin(8, 10) << QStringList{"Sale"};
    QTest::newRow("a boot's old clock, then the real one a day later")
        << berlin(8, 8) << false << berlin(9, 9, 30) << QStringList();
}

void TestScheduler::clock()
{
    QFETCH(QDateTime, first);
    QFETCH(bool, synchronisedThen);
    QFETCH(QDateTime, then);
    QFETCH(QStringList, sent);
    {
        auto scheduler = start();
        save(*scheduler, R"([{"set":"Sale","at":"2026-12-08T09:00"}])");
    }
    m_now = first;
    m_synchronised = synchronisedThen;
    auto scheduler = start();
    QCOMPARE(m_started, QStringList());
    QCOMPARE(scheduler->toJson().value("synchronised").toBool(), synchronisedThen);
    m_now = then;
    m_synchronised = true;
    scheduler->check();
    QCOMPARE(m_started, sent);
    QCOMPARE(logged("clock synchronised").size(), synchronisedThen ? 0 : 1);
}

void TestScheduler::edits_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<bool>("stale");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    QTest::newRow("stale") << QByteArray("[]") << true << 412 << "Someone changed the schedule";
    QTest::newRow("no such set") << QByteArray(R"([{"set":"Morning","time":"06:00","days":["mon"]},
        {"set":"Evening","time":"18:00","days":["mon"]}])")
                                 << false << 400 << "entry 2: set: there is no set named \"Evening\"";
    QTest::newRow("a time past 23:59") << QByteArray(R"([{"set":"Morning","time":"24:00","days":["mon"]}])") << false
                                       << 400 << "entry 1: time";
    QTest::newRow("no days") << QByteArray(R"([{"set":"Morning","time":"06:00","days":[]}])") << false << 400
                             << "entry 1: days";
    QTest::newRow("a day that is none") << QByteArray(R"([{"set":"Morning","time":"06:00","days":["mo"]}])") << false
                                        << 400 << "entry 1: days";
    QTest::newRow("a date that is none") << QByteArray(R"([{"set":"Sale","at":"2026-02-30T09:00"}])") << false << 400
                                         << "entry 1: at";
    QTest::newRow("twice the same") << QByteArray(R"([{"set":"Sale","at":"2026-12-12T09:00"},
        {"set":"Sale","at":"2026-12-12T09:00"}])")
                                    << false << 400 << "entry 2: the same as entry 1";
    QTest::newRow("a set name that is a path")
        << QByteArray(R"([{"set":"../accounts","time":"06:00","days":["mon"]}])") << false << 400 << "entry 1: set";
    QTest::newRow("good") << QByteArray(R"([{"set":"Sale","at":"2026-12-12T09:00"}])") << false << 0 << QString();
}

void TestScheduler::edits()
{
    QFETCH(QByteArray, list);
    QFETCH(bool, stale);
    QFETCH(int, status);
    QFETCH(QString, error);
    auto scheduler = start();
    save(*scheduler, R"([{"set":"Morning","time":"06:00","days":["mon"]}])");
    const QByteArray before = scheduler->version();
    const QByteArray file = m_state->read("schedule.json");
    SetStore::Refusal refusal;
    const auto version =
        scheduler->replace(entries(list), stale ? SetStore::versionOf("") : before, "anna", "192.0.2.7", &refusal);
    QCOMPARE(refusal.status, status);
    QVERIFY2(refusal.error.startsWith(error), qPrintable(refusal.error));
    if (status) {
        // Refused: what was saved is still there, whole.
        QVERIFY(!version);
        QCOMPARE(scheduler->version(), before);
        QCOMPARE(m_state->read("schedule.json"), file);
        return;
    }
    QCOMPARE(*version, SetStore::versionOf(m_state->read("schedule.json")));
    // As the next start reads it.
    scheduler.reset();
    const QJsonObject read = start()->toJson();
    QCOMPARE(read.value("version").toString().toLatin1(), *version);
    QCOMPARE(read.value("entries").toArray().at(0).toObject().value("next").toString(), "2026-12-12T09:00:00+01:00");
}

void TestScheduler::readAtStart_data()
{
    QTest::addColumn<QByteArray>("second");  // beside an entry that is whole
    QTest::addColumn<int>("entries");        // -1: the file is moved aside
    QTest::addColumn<QString>("said");       // of the file, where anything
    QTest::newRow("whole") << QByteArray(R"({"set":"Sale","at":"2026-12-12T09:00"})") << 2 << "";
    // What an earlier version wrote of a single date in a spring-forward
    // gap: it had lost the date, and there is nothing in it to send. Left
    // out, but said, and the file kept aside as it was before the schedule
    // is saved over it.
    QTest::newRow("a date an earlier version lost")
        << QByteArray(R"({"set":"Sale","time":"","days":[]})") << 1
        << "schedule.json holds what cannot be read (entry 2, of the set \"Sale\", has no date, time or day)";
    QTest::newRow("an entry that cannot be read") << QByteArray(R"({"set":"Sale","time":"6 am","days":["mon"]})") << -1
                                                  << "schedule.json cannot be read (entry 2: time";
    QTest::newRow("no entry at all") << QByteArray("5") << -1
                                     << "schedule.json cannot be read (entry 2: it is no entry";
    QTest::newRow("an entry that says only its set")
        << QByteArray(R"({"set":"Sale"})") << -1 << "schedule.json cannot be read (entry 2: time";
    QTest::newRow("a time that is a number")
        << QByteArray(R"({"set":"Sale","time":600,"days":[]})") << -1 << "schedule.json cannot be read (entry 2: time";
}

void TestScheduler::readAtStart()
{
    QFETCH(QByteArray, second);
    QFETCH(int, entries);
    QFETCH(QString, said);
    const QByteArray file = R"({"entries":[{"set":"Morning","time":"06:00","days":["mon"]},)" + second + "]}";
    QVERIFY(m_state->write("schedule.json", file));
    auto scheduler = start();
    const QJsonArray read = scheduler->toJson().value("entries").toArray();
    const QString problems = m_state->problems().join('\n');
    const auto copies = [&] { return QDir(m_dir->path()).entryList({"schedule.json.unreadable-*"}, QDir::Files); };
    // Logged only of a file that is read.
    QCOMPARE(logged("schedule entry left out").size(), entries < 0 ? 0 : 2 - entries);
    QVERIFY2(said.isEmpty() ? problems.isEmpty() : problems.contains(said), qPrintable(problems));
    if (entries < 0) {
        QVERIFY(read.isEmpty());
        QCOMPARE(copies().size(), 1);
        return;
    }
    QCOMPARE(read.size(), entries);
    QCOMPARE(m_state->read("schedule.json"), file);
    if (said.isEmpty()) {
        QVERIFY(copies().isEmpty());
        return;
    }
    // Copied aside whole, once, however often the server starts before
    // the schedule is saved; said at each start.
    QCOMPARE(copies().size(), 1);
    const QString copy = m_dir->path() + '/' + copies().first();
    QVERIFY2(problems.contains(copy), qPrintable(problems));
    QCOMPARE(m_state->read(copies().first()), file);
    scheduler.reset();
    scheduler = start();
    QCOMPARE(copies().size(), 1);
    QVERIFY2(m_state->problems().join('\n').contains(said), qPrintable(m_state->problems().join('\n')));
    // Saved over it, the copy stays as it was.
    save(*scheduler, R"([{"set":"Night","time":"22:00","days":["sun"]}])");
    QCOMPARE(m_state->read(copies().first()), file);
    QVERIFY(m_state->read("schedule.json") != file);
}

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
