// SPDX-License-Identifier: GPL-3.0-or-later
// The board's server's signed-in devices: their limits in time, what is
// stored of them, and the token that a change must carry.
#include "service/sessions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono;

namespace {
const SessionStore::Clock::time_point kStart = SessionStore::Clock::time_point{} + hours(24 * 365 * 56);
}

class TestSessions : public QObject {
    Q_OBJECT
private slots:
    void expiry_data();
    void expiry();
    void identifiers();
    void storedAsHashes();
    void recordsRead_data();
    void recordsRead();
    void passwordChangeSignsOthersOut();
    void boundedPerAccount();
    void expiredGo_data();
    void expiredGo();
    void csrf_data();
    void csrf();
};

void TestSessions::expiry_data()
{
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("everyMinutes");  // how often the device is used
    QTest::addColumn<int>("forMinutes");    // until it tries once more
    QTest::addColumn<bool>("alive");
    QTest::newRow("used, within the day") << false << 10 << 11 * 60 << true;
    QTest::newRow("idle just under 30 minutes") << false << 29 << 29 << true;
    QTest::newRow("idle 30 minutes") << false << 30 << 30 << false;
    QTest::newRow("used all along, 12 hours") << false << 10 << 12 * 60 << false;
    QTest::newRow("kept, idle 29 days") << true << 29 * 24 * 60 << 29 * 24 * 60 << true;
    QTest::newRow("kept, idle 30 days") << true << 30 * 24 * 60 << 30 * 24 * 60 << false;
    QTest::newRow("kept, used all along, 30 days") << true << 12 * 60 << 30 * 24 * 60 << false;
}

void TestSessions::expiry()
{
    QFETCH(bool, kept);
    QFETCH(int, everyMinutes);
    QFETCH(int, forMinutes);
    QFETCH(bool, alive);
    SessionStore store;
    const QByteArray cookie = store.open("anna", kept, "phone", "10.0.0.5", kStart);
    for (int at = everyMinutes; at < forMinutes; at += everyMinutes)
        QVERIFY2(store.find(cookie, kStart + minutes(at)), qPrintable(QString::number(at)));
    QCOMPARE(store.find(cookie, kStart + minutes(forMinutes)) != nullptr, alive);
    // Once gone, gone for good.
    if (!alive)
        QVERIFY(!store.find(cookie, kStart + minutes(forMinutes)));
}

void TestSessions::identifiers()
{
    SessionStore store;
    const QByteArray first = store.open("anna", false, {}, {}, kStart);
    const QByteArray second = store.open("anna", false, {}, {}, kStart);
    QVERIFY(first != second);
    for (const QByteArray &cookie : {first, second}) {
        // 256 bits in base64url, which a cookie may hold as it is.
        QCOMPARE(QByteArray::fromBase64(cookie, QByteArray::Base64UrlEncoding).size(), 32);
        QVERIFY(QRegularExpression("^[A-Za-z0-9_-]{43}$").match(QString::fromLatin1(cookie)).hasMatch());
        QCOMPARE(store.find(cookie, kStart)->account, QStringLiteral("anna"));
    }
    QVERIFY(!store.find(first.left(42), kStart));
    QVERIFY(!store.find(first + "A", kStart));
    store.close(first);
    QVERIFY(!store.find(first, kStart));
    QVERIFY(store.find(second, kStart));
}

void TestSessions::storedAsHashes()
{
    SessionStore store;
    const QByteArray cookie = store.open("anna", true, "Firefox on Android", "10.0.0.5", kStart);
    const QByteArray json = store.toJson();
    QVERIFY2(!json.contains(cookie), json.constData());
    QVERIFY(!json.contains(SessionStore::csrfToken(cookie)));
    // After a restart, the same cookie finds the same session, seen when
    // it was last seen.
    QString why;
    SessionStore again = SessionStore::fromJson(json, kStart, &why).value();
    const SessionStore::Session *session = again.find(cookie, kStart + hours(24));
    QVERIFY(session);
    QCOMPARE(session->device, QStringLiteral("Firefox on Android"));
    QVERIFY(session->kept);
    // A file that is no list of sessions is none, and why.
    QVERIFY(!SessionStore::fromJson("not json", kStart, &why));
    QVERIFY(!why.isEmpty());
}

void TestSessions::recordsRead_data()
{
    QTest::addColumn<QByteArray>("record");  // beside a session that is whole
    QTest::addColumn<int>("sessions");       // read back; -1: the file cannot be read
    QTest::addColumn<QString>("why");
    const QByteArray hash = QByteArray(64, 'a');
    const auto record = [&](const char *field, const QByteArray &value) {
        QJsonObject o{{"id_sha256", QString::fromLatin1(hash)},
                      {"account", "bob"},
                      {"device", "desk"},
                      {"address", "10.0.0.6"},
                      {"kept", false},
                      {"created", qint64(duration_cast<seconds>(kStart.time_since_epoch()).count())},
                      {"last_seen", qint64(duration_cast<seconds>(kStart.time_since_epoch()).count())}};
        if (value.isNull())
            o.remove(QLatin1String(field));
        else if (field)
            o.insert(QLatin1String(field), QJsonDocument::fromJson("[" + value + "]").array().at(0));
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };
    QTest::newRow("whole") << record(nullptr, "") << 2 << "";
    // Dropped, as a session whose time is up signs no one in.
    QTest::newRow("its time up") << record("last_seen", "1") << 1 << "";
    QTest::newRow("an expiry that is no time")
        << record("created", R"("yesterday")") << -1 << "session 1 cannot be read: created or last_seen is no time";
    QTest::newRow("no time seen") << record("last_seen", {}) << -1 << "created or last_seen is no time";
    QTest::newRow("an account that is a number") << record("account", "5") << -1 << "account is no name";
    QTest::newRow("a device that is a number") << record("device", "5") << -1 << "device or address is no text";
    QTest::newRow("kept, as text") << record("kept", R"("yes")") << -1 << "kept is neither true nor false";
    QTest::newRow("a hash cut short") << record("id_sha256", R"("x")") << -1 << "id_sha256 is no hash";
    QTest::newRow("no record") << QByteArray("5") << -1 << "session 1 cannot be read: it is no record";
}

// A record of another shape than this server writes is never passed over
// unsaid: the file is one that cannot be read, which the state folder
// moves aside and says; everyone signs in again.
void TestSessions::recordsRead()
{
    QFETCH(QByteArray, record);
    QFETCH(int, sessions);
    QFETCH(QString, why);
    SessionStore store;
    store.open("anna", false, "phone", "10.0.0.5", kStart);
    QByteArray json = store.toJson();
    json.insert(1, record + ',');
    QString said;
    auto read = SessionStore::fromJson(json, kStart, &said);
    if (sessions < 0) {
        QVERIFY(!read);
        QVERIFY2(said.contains(why), qPrintable(said));
        return;
    }
    QVERIFY2(read, qPrintable(said));
    QCOMPARE(read->sessions(kStart).size(), sessions);
}

void TestSessions::passwordChangeSignsOthersOut()
{
    SessionStore store;
    const QByteArray here = store.open("anna", false, {}, {}, kStart);
    const QByteArray there = store.open("anna", true, {}, {}, kStart);
    const QByteArray other = store.open("bob", false, {}, {}, kStart);
    store.closeAccount("anna", here);
    QVERIFY(store.find(here, kStart));
    QVERIFY(!store.find(there, kStart));
    QVERIFY(store.find(other, kStart));
    store.closeAccount("anna");
    QVERIFY(!store.find(here, kStart));
}

// An account signing in over and over ends its own sessions seen longest
// ago, and no other account's.
void TestSessions::boundedPerAccount()
{
    SessionStore store;
    const QByteArray owners = store.open("owner", true, {}, {}, kStart);
    QList<QByteArray> anna;
    for (int i = 0; i < SessionStore::kPerAccount; ++i)
        anna.append(store.open("anna", true, {}, {}, kStart + minutes(i)));
    // The first is in use, so the second is the one seen longest ago.
    QVERIFY(store.find(anna.first(), kStart + hours(1)));
    for (int i = 0; i < 3; ++i)
        anna.append(store.open("anna", true, {}, {}, kStart + hours(2) + minutes(i)));
    const auto now = kStart + hours(3);
    QVERIFY(store.find(owners, now));
    QVERIFY(store.find(anna.first(), now));
    for (int i = 1; i <= 3; ++i)
        QVERIFY2(!store.find(anna.at(i), now), qPrintable(QString::number(i)));
    for (int i = 4; i < anna.size(); ++i)
        QVERIFY2(store.find(anna.at(i), now), qPrintable(QString::number(i)));
    QCOMPARE(store.sessions(now).size(), SessionStore::kPerAccount + 1);
}

void TestSessions::expiredGo_data()
{
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("idleMinutes");  // since its sign-in, until now
    QTest::addColumn<bool>("alive");
    QTest::newRow("just signed in") << false << 0 << true;
    QTest::newRow("idle 30 minutes") << false << 30 << false;
    QTest::newRow("kept, idle a week") << true << 7 * 24 * 60 << true;
    QTest::newRow("kept, from three years ago") << true << 3 * 365 * 24 * 60 << false;
}

void TestSessions::expiredGo()
{
    QFETCH(bool, kept);
    QFETCH(int, idleMinutes);
    QFETCH(bool, alive);
    SessionStore store;
    store.open("anna", kept, "phone", "10.0.0.5", kStart);
    const QByteArray idHash = store.sessions(kStart).first().idHash;
    const auto now = kStart + minutes(idleMinutes);
    // Read back after a restart, written after another's sign-in, and
    // listed: a session whose time is up is in none of them.
    QString why;
    const auto read = SessionStore::fromJson(store.toJson(), now, &why);
    QVERIFY2(read, qPrintable(why));
    QCOMPARE(read->toJson().contains(idHash), alive);
    SessionStore signedIn = store;
    signedIn.open("bob", false, "desk", "10.0.0.6", now);
    QCOMPARE(signedIn.toJson().contains(idHash), alive);
    QCOMPARE(store.sessions(now).size(), alive ? 1 : 0);
}

void TestSessions::csrf_data()
{
    QTest::addColumn<int>("which");  // 0: its own; 1: another session's; 2: empty; 3: cut short; 4: the cookie
    QTest::addColumn<bool>("matches");
    QTest::newRow("its own") << 0 << true;
    QTest::newRow("another session's") << 1 << false;
    QTest::newRow("none") << 2 << false;
    QTest::newRow("cut short") << 3 << false;
    QTest::newRow("the cookie itself") << 4 << false;
}

void TestSessions::csrf()
{
    QFETCH(int, which);
    QFETCH(bool, matches);
    SessionStore store;
    const QByteArray cookie = store.open("anna", false, {}, {}, kStart);
    const QByteArray other = store.open("bob", false, {}, {}, kStart);
    const QByteArray token = SessionStore::csrfToken(cookie);
    const QByteArray sent[] = {token, SessionStore::csrfToken(other), {}, token.chopped(1), cookie};
    QCOMPARE(SessionStore::csrfMatches(cookie, sent[which]), matches);
    QVERIFY(!SessionStore::csrfMatches({}, SessionStore::csrfToken({})));
}

QTEST_GUILESS_MAIN(TestSessions)
#include "tst_sessions.moc"
