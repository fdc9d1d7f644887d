// SPDX-License-Identifier: GPL-3.0-or-later
// Scripts' keys: what a key is taken for, until when, and after a restart.
#include "service/keys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

const QDateTime kNow = QDateTime::fromString(QStringLiteral("2026-12-09T12:00:00Z"), Qt::ISODate);

}  // namespace

class TestKeys : public QObject {
    Q_OBJECT
private slots:
    void use_data();
    void use();
    void namesAndScopes();
    void damaged_data();
    void damaged();
};

void TestKeys::use_data()
{
    QTest::addColumn<QDateTime>("expires");
    QTest::addColumn<int>("daysLater");
    QTest::addColumn<bool>("revoked");
    QTest::addColumn<bool>("restarted");   // through the stored file
    QTest::addColumn<QString>("mangled");  // what becomes of the key's text
    QTest::addColumn<bool>("taken");
    QTest::newRow("never expires") << QDateTime() << 400 << false << false << "" << true;
    QTest::newRow("before its expiry") << kNow.addDays(30) << 29 << false << false << "" << true;
    QTest::newRow("at its expiry") << kNow.addDays(30) << 30 << false << false << "" << false;
    QTest::newRow("revoked") << QDateTime() << 0 << true << false << "" << false;
    QTest::newRow("after a restart") << kNow.addDays(30) << 1 << false << true << "" << true;
    QTest::newRow("one character changed") << QDateTime() << 0 << false << false << "last" << false;
    QTest::newRow("cut short") << QDateTime() << 0 << false << false << "short" << false;
    QTest::newRow("a session's cookie") << QDateTime() << 0 << false << false << "cookie" << false;
}

void TestKeys::use()
{
    QFETCH(QDateTime, expires);
    QFETCH(int, daysLater);
    QFETCH(bool, revoked);
    QFETCH(bool, restarted);
    QFETCH(QString, mangled);
    QFETCH(bool, taken);
    KeyStore store;
    QString why;
    QByteArray text = store.make(QStringLiteral("nightly"), KeyStore::Scope::Send, expires, kNow);
    QVERIFY(!text.isEmpty());
    QVERIFY(!store.make(QStringLiteral("other"), KeyStore::Scope::Edit, {}, kNow).isEmpty());
    // Only the hash is kept.
    QVERIFY(!store.toJson().contains(text.mid(8)));
    if (revoked)
        QVERIFY(store.revoke(QStringLiteral("nightly")));
    if (restarted)
        store = KeyStore::fromJson(store.toJson(), &why).value();
    if (mangled == QLatin1String("last"))
        text[text.size() - 1] = text.endsWith('A') ? 'B' : 'A';
    else if (mangled == QLatin1String("short"))
        text.chop(1);
    else if (mangled == QLatin1String("cookie"))
        text = text.mid(8);
    const auto key = store.use(text, kNow.addDays(daysLater));
    QCOMPARE(key.has_value(), taken);
    if (taken) {
        QCOMPARE(key->name, QStringLiteral("nightly"));
        QCOMPARE(key->scope, KeyStore::Scope::Send);
        QCOMPARE(store.keys().first().lastUsed, kNow.addDays(daysLater));
    }
}

void TestKeys::namesAndScopes()
{
    KeyStore store;
    QVERIFY(!store.make(QStringLiteral("nightly"), KeyStore::Scope::Edit, {}, kNow).isEmpty());
    QVERIFY2(store.make(QStringLiteral("nightly"), KeyStore::Scope::Send, {}, kNow).isEmpty(), "a name taken twice");
    QVERIFY(store.make(QStringLiteral("../etc"), KeyStore::Scope::Send, {}, kNow).isEmpty());
    QVERIFY(store.make(QString(), KeyStore::Scope::Send, {}, kNow).isEmpty());
    QCOMPARE(KeyStore::scopeNamed(QStringLiteral("edit")), KeyStore::Scope::Edit);
    QVERIFY(!KeyStore::scopeNamed(QStringLiteral("owner")));
    QString why;
    QCOMPARE(KeyStore::fromJson(store.toJson(), &why)->keys().first().scope, KeyStore::Scope::Edit);
}

void TestKeys::damaged_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QJsonValue>("value");  // undefined: the field is taken out
    QTest::addColumn<bool>("read");
    QTest::newRow("as written") << "name" << QJsonValue("nightly") << true;
    QTest::newRow("no expiry") << "expires" << QJsonValue("") << true;
    QTest::newRow("an expiry garbled") << "expires" << QJsonValue("2027-13-45") << false;
    QTest::newRow("an expiry of another type") << "expires" << QJsonValue(1) << false;
    QTest::newRow("a hash cut short") << "hash" << QJsonValue("abcdef") << false;
    QTest::newRow("no scope") << "scope" << QJsonValue(QJsonValue::Undefined) << false;
    QTest::newRow("a name that is a path") << "name" << QJsonValue("../x") << false;
    QTest::newRow("a last use garbled") << "last_used" << QJsonValue("yesterday") << false;
}

void TestKeys::damaged()
{
    QFETCH(QString, field);
    QFETCH(QJsonValue, value);
    QFETCH(bool, read);
    KeyStore store;
    QVERIFY(!store.make(QStringLiteral("first"), KeyStore::Scope::Send, kNow.addDays(30), kNow).isEmpty());
    QVERIFY(!store.make(QStringLiteral("nightly"), KeyStore::Scope::Edit, kNow.addDays(30), kNow).isEmpty());
    QJsonArray keys = QJsonDocument::fromJson(store.toJson()).array();
    QJsonObject key = keys.at(1).toObject();
    if (value.isUndefined())
        key.remove(field);
    else
        key.insert(field, value);
    keys.replace(1, key);
    // A key half read would be lost at the next write; one whose expiry is
    // lost would never expire.
    QString why;
    const auto again = KeyStore::fromJson(QJsonDocument(keys).toJson(), &why);
    QCOMPARE(again.has_value(), read);
    if (read)
        QCOMPARE(again->keys().size(), 2);
    else
        QVERIFY(why.contains(QLatin1String("key 2")));
}

QTEST_GUILESS_MAIN(TestKeys)
#include "tst_keys.moc"
