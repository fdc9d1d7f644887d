// SPDX-License-Identifier: GPL-3.0-or-later
// Scripts' keys: what a key is taken for, until when, and after a restart.
#include "web/keys.h"

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
    QByteArray text = store.make(QStringLiteral("nightly"), KeyStore::Scope::Send, expires, kNow);
    QVERIFY(!text.isEmpty());
    QVERIFY(!store.make(QStringLiteral("other"), KeyStore::Scope::Edit, {}, kNow).isEmpty());
    // Only the hash is kept.
    QVERIFY(!store.toJson().contains(text.mid(8)));
    if (revoked)
        QVERIFY(store.revoke(QStringLiteral("nightly")));
    if (restarted)
        store = KeyStore::fromJson(store.toJson());
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
    QCOMPARE(KeyStore::fromJson(store.toJson()).keys().first().scope, KeyStore::Scope::Edit);
}

QTEST_GUILESS_MAIN(TestKeys)
#include "tst_keys.moc"
