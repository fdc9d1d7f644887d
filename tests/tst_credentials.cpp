// SPDX-License-Identifier: GPL-3.0-or-later
// What signs a person in to the board's server: the one-time code that
// claims the computer, and the password hashes, made off the event thread.
#include "eventloop.h"
#include "service/passwords.h"
#include "service/setupcode.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTimer>

using namespace std::chrono;

namespace {

// Runs the event loop until `done`, counting the ticks of a 5 ms timer
// meanwhile; false if it took longer than ten seconds.
bool waitCountingTicks(const bool &done, int &ticks)
{
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(5);
    return runUntil([&] { return done; }, 10000);
}

}  // namespace

class TestCredentials : public QObject {
    Q_OBJECT
private slots:
    void setupCodeTyped_data();
    void setupCodeTyped();
    void setupCodesAreRandom();
    void setupCodeExpires();
    void passwords();
    void unknownNameTakesAsLong();
    void queueIsBounded();
    void queueKeepsPlaces_data();
    void queueKeepsPlaces();
};

void TestCredentials::setupCodeTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("matches");
    QTest::newRow("as printed") << "K7QM-30WD-91RT" << true;
    QTest::newRow("lower case") << "k7qm-30wd-91rt" << true;
    QTest::newRow("no dashes") << "K7QM30WD91RT" << true;
    QTest::newRow("spaces") << " K7QM 30WD 91RT " << true;
    QTest::newRow("O for zero, I and L for one") << "K7QM-3OWD-9IRT" << true;
    QTest::newRow("L for one") << "k7qm-3owd-9lrt" << true;
    QTest::newRow("one character wrong") << "K7QM-30WD-91RS" << false;
    QTest::newRow("one character short") << "K7QM-30WD-91R" << false;
    QTest::newRow("one character more") << "K7QM-30WD-91RTX" << false;
    QTest::newRow("nothing") << "" << false;
}

void TestCredentials::setupCodeTyped()
{
    QFETCH(QString, typed);
    QFETCH(bool, matches);
    QCOMPARE(SetupCode(QStringLiteral("K7QM-30WD-91RT"), {}).matches(typed), matches);
    QVERIFY(!SetupCode(QString(), {}).matches(QString()));
}

void TestCredentials::setupCodesAreRandom()
{
    const QRegularExpression shape(
        QStringLiteral("^[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}-[0-9A-HJKMNP-TV-Z]{4}$"));
    QSet<QString> seen;
    QSet<QChar> characters;
    for (int i = 0; i < 500; ++i) {
        const QString code = SetupCode::make({}).text();
        QVERIFY2(shape.match(code).hasMatch(), qPrintable(code));
        seen.insert(code);
        for (QChar c : code)
            characters.insert(c);
    }
    // 12 characters of 32: 60 bits. Every character turns up in 6,000
    // draws, and no code twice.
    QCOMPARE(seen.size(), 500);
    QCOMPARE(characters.size(), 33);  // the 32 and the dash
}

void TestCredentials::setupCodeExpires()
{
    const auto made = SetupCode::Clock::time_point{} + hours(24 * 365 * 56);
    const SetupCode code = SetupCode::make(made);
    QVERIFY(!code.expired(made));
    QVERIFY(!code.expired(made + minutes(30) - seconds(1)));
    QVERIFY(code.expired(made + minutes(30)));
    QVERIFY(code.expired(made - seconds(1)));  // a clock set back
}

void TestCredentials::passwords()
{
    PasswordHasher hasher;
    QVERIFY(hasher.isReady());
    QByteArray stored;
    bool done = false;
    int ticks = 0;
    QVERIFY(hasher.hash("correct horse", [&](const QByteArray &hash) { stored = hash, done = true; }));
    QVERIFY(waitCountingTicks(done, ticks));
    QVERIFY2(stored.startsWith("$argon2id$"), stored.constData());
    QVERIFY(!stored.contains("correct horse"));
    // The event loop went on while the hash was made.
    QVERIFY2(ticks > 0, "the event thread waited for the hash");

    struct Case {
        QByteArray password;
        bool matches;
    };
    for (const Case &c : {Case{"correct horse", true}, Case{"correct hors", false}, Case{"", false},
                          Case{QByteArray(PasswordHasher::kLongestPassword + 1, 'x'), false}}) {
        bool matches = !c.matches, rehash = true;
        done = false;
        QVERIFY(hasher.verify(stored, c.password, [&](bool m, bool r) { matches = m, rehash = r, done = true; }));
        QVERIFY(waitCountingTicks(done, ticks));
        QCOMPARE(matches, c.matches);
        QVERIFY(!rehash);
    }
}

void TestCredentials::unknownNameTakesAsLong()
{
    PasswordHasher hasher;
    QByteArray stored;
    bool done = false;
    int ticks = 0;
    hasher.hash("correct horse", [&](const QByteArray &hash) { stored = hash, done = true; });
    QVERIFY(waitCountingTicks(done, ticks));
    qint64 took[2] = {0, 0};
    // The unknown name first, once to make the dummy, then each in turn.
    for (const QByteArray &against : {QByteArray(), stored, QByteArray()}) {
        bool matches = true;
        done = false;
        QElapsedTimer timer;
        timer.start();
        hasher.verify(against, "guess", [&](bool m, bool) { matches = m, done = true; });
        QVERIFY(waitCountingTicks(done, ticks));
        QVERIFY(!matches);
        took[against.isEmpty() ? 0 : 1] = timer.elapsed();
    }
    // A whole hash either way: on a loaded machine the two differ, but an
    // answer without a hash would take well under a tenth of one.
    QVERIFY2(took[0] * 4 >= took[1], qPrintable(QStringLiteral("%1 ms against %2 ms").arg(took[0]).arg(took[1])));
}

void TestCredentials::queueIsBounded()
{
    PasswordHasher hasher;
    int answered = 0, accepted = 0;
    for (int i = 0; i < PasswordHasher::kQueue + 3; ++i)
        accepted += hasher.hash("x", [&](const QByteArray &) { ++answered; }) ? 1 : 0;
    QCOMPARE(accepted, PasswordHasher::kQueue + 1);
    QVERIFY(runUntil([&] { return answered == accepted; }, 20000));
    // Room again once they are done.
    QVERIFY(hasher.hash("x", [&](const QByteArray &) { ++answered; }));
}

// Who finds a place once others have filled the queue, and who goes first.
void TestCredentials::queueKeepsPlaces_data()
{
    using P = PasswordHasher::Priority;
    QTest::addColumn<P>("filledBy");
    QTest::addColumn<P>("asker");
    QTest::addColumn<bool>("placed");
    QTest::newRow("strangers, then a known browser") << P::Stranger << P::Known << true;
    QTest::newRow("strangers, then the owner's") << P::Stranger << P::Owner << true;
    QTest::newRow("strangers, then a stranger") << P::Stranger << P::Stranger << false;
    QTest::newRow("a known browser, then another") << P::Known << P::Known << false;
    QTest::newRow("a known browser, then the owner's") << P::Known << P::Owner << true;
    QTest::newRow("the owner's, then the owner's") << P::Owner << P::Owner << false;
}

void TestCredentials::queueKeepsPlaces()
{
    QFETCH(PasswordHasher::Priority, filledBy);
    QFETCH(PasswordHasher::Priority, asker);
    QFETCH(bool, placed);
    PasswordHasher hasher;
    QList<PasswordHasher::Priority> answered;
    const auto ask = [&](PasswordHasher::Priority who) {
        return hasher.verify(
            {}, "x", [&answered, who](bool, bool) { answered.append(who); }, who);
    };
    int queued = 0;
    while (ask(filledBy))
        ++queued;
    QVERIFY(queued > PasswordHasher::kQueue);
    QCOMPARE(ask(asker), placed);
    if (placed && asker != filledBy) {
        QVERIFY(runUntil([&] { return answered.contains(asker); }, 30000));
        // Past the one being made when it came, and, on a machine so busy
        // that this thread waited a whole hash meanwhile, the next.
        QVERIFY2(answered.indexOf(asker) <= 2, qPrintable(QString::number(answered.indexOf(asker))));
    }
}

QTEST_GUILESS_MAIN(TestCredentials)
#include "tst_credentials.moc"
