// SPDX-License-Identifier: GPL-3.0-or-later
// The board's server's named sets: names that are never paths, a set's
// JSON judged field by field, files the window's Load reads byte for byte,
// and stale edits refused.
#include "files/mesfile.h"
#include "service/setstore.h"
#include "service/statefolder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

QJsonObject setJson(const QJsonArray &messages, const QJsonArray &levels)
{
    return {{"messages", messages}, {"levels", levels}};
}

const QJsonArray kNine{"OPEN", "", "LOW", "", "", "", "", "", "IDLE"};
const QJsonArray kEight{1, 0, 1, 0, 0, 0, 0, 1};

}  // namespace

class TestSets : public QObject {
    Q_OBJECT
private slots:
    void names_data();
    void names();
    void json_data();
    void json();
    void filesAreTheWindows();
    void staleEdits();
};

void TestSets::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("good");
    QTest::newRow("words") << "Morning set" << true;
    QTest::newRow("digits, - and _") << "Sale_2026-12" << true;
    QTest::newRow("letters beyond ASCII") << "Frühstück" << true;
    QTest::newRow("forty") << QString(40, 'a') << true;
    QTest::newRow("forty-one") << QString(41, 'a') << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("up and out") << "../accounts" << false;
    QTest::newRow("a slash") << "sets/x" << false;
    QTest::newRow("a dot") << "x.mes" << false;
    QTest::newRow("a backslash") << "a\\b" << false;
    QTest::newRow("a leading space") << " x" << false;
    QTest::newRow("a newline") << "a\nb" << false;
}

void TestSets::names()
{
    QFETCH(QString, name);
    QFETCH(bool, good);
    QCOMPARE(SetStore::isSetName(name), good);
    QTemporaryDir dir;
    StateFolder state(dir.path());
    QVERIFY(state.open());
    SetStore sets(state);
    SetStore::Refusal refusal;
    sets.put(name, *SetStore::fromJson(setJson(kNine, kEight), &refusal), std::nullopt, true, &refusal);
    QCOMPARE(refusal.status, good ? 0 : 400);
    // Nothing was written anywhere else.
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             good ? QStringList{"sets"} : QStringList());
}

void TestSets::json_data()
{
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<QString>("field");  // empty: taken
    QJsonArray long17 = kNine, pair = kNine, newline = kNine, number = kNine;
    long17[0] = QString(17, 'x');
    // 15 characters and a character beyond the BMP: the box cuts it at 15.
    pair[1] = QString(15, 'x') + QString::fromUcs4(U"\U0001F600");
    newline[2] = "a\nb";
    number[3] = 5;
    QJsonArray two = kEight, text = kEight;
    two[4] = 2;
    text[5] = "1";
    QTest::newRow("good") << setJson(kNine, kEight) << "";
    QTest::newRow("sixteen") << setJson(QJsonArray{QString(16, 'x'), "", "", "", "", "", "", "", ""}, kEight) << "";
    QTest::newRow("eight messages") << setJson(QJsonArray{"", "", "", "", "", "", "", ""}, kEight) << "messages:";
    QTest::newRow("seventeen characters") << setJson(long17, kEight) << "messages[0]";
    QTest::newRow("a pair the box would split") << setJson(pair, kEight) << "messages[1]";
    QTest::newRow("a line break") << setJson(newline, kEight) << "messages[2]";
    QTest::newRow("a number") << setJson(number, kEight) << "messages[3]";
    QTest::newRow("a level of 2") << setJson(kNine, two) << "levels[4]";
    QTest::newRow("a level as text") << setJson(kNine, text) << "levels[5]";
    QTest::newRow("no levels") << QJsonObject{{"messages", kNine}} << "levels:";
    QJsonObject port = setJson(kNine, kEight);
    port.insert("port", 3);
    QTest::newRow("a port that is no text") << port << "port:";
}

void TestSets::json()
{
    QFETCH(QJsonObject, json);
    QFETCH(QString, field);
    SetStore::Refusal refusal;
    const auto set = SetStore::fromJson(json, &refusal);
    QCOMPARE(set.has_value(), field.isEmpty());
    if (!field.isEmpty()) {
        QCOMPARE(refusal.status, 400);
        QVERIFY2(refusal.error.startsWith(field), qPrintable(refusal.error));
    }
}

void TestSets::filesAreTheWindows()
{
    QTemporaryDir dir;
    StateFolder state(dir.path());
    QVERIFY(state.open());
    SetStore sets(state);
    SetStore::Refusal refusal;
    // What the window's Save writes, with a port of its own.
    MessageSet saved;
    giveStartValues(saved);
    saved.messageText[1] = QStringLiteral("Grand opening");
    saved.messageText[9] = QStringLiteral("Café open");
    saved.triggerOnOpen[3] = true;
    saved.portText = QStringLiteral("3");
    const QByteArray file = mesfile::encode(saved);
    const QByteArray version = sets.import("Opening", file, std::nullopt, true, &refusal);
    QVERIFY2(!refusal, qPrintable(refusal.error));
    QCOMPARE(version, SetStore::versionOf(file));
    // Exported unchanged, its port line included.
    QCOMPARE(sets.file("Opening", &refusal), file);
    const auto set = sets.get("Opening", &refusal);
    QVERIFY(set);
    QCOMPARE(set->messages[0], QStringLiteral("Grand opening"));
    QCOMPARE(set->messages[8], QStringLiteral("Café open"));
    QVERIFY(set->open[2] && !set->open[0]);
    QCOMPARE(set->port, QStringLiteral("3"));
    // Saved again through JSON, the file is still the window's.
    const auto again = SetStore::fromJson(SetStore::toJson(*set), &refusal);
    QVERIFY(again);
    QCOMPARE(sets.put("Opening", *again, set->version, false, &refusal), version);
    QCOMPARE(sets.file("Opening", &refusal), file);
    QCOMPARE(sets.list(), (QList<std::pair<QString, QByteArray>>{{"Opening", version}}));
    // A file that Load refuses is refused here too.
    sets.import("Broken", "x\r\n", std::nullopt, true, &refusal);
    QCOMPARE(refusal.status, 400);
}

void TestSets::staleEdits()
{
    QTemporaryDir dir;
    StateFolder state(dir.path());
    QVERIFY(state.open());
    SetStore sets(state);
    SetStore::Refusal refusal;
    SetStore::Set set = *SetStore::fromJson(setJson(kNine, kEight), &refusal);
    const QByteArray first = sets.put("Morning", set, std::nullopt, true, &refusal);
    QVERIFY(!first.isEmpty());
    const auto expect = [&](int status) {
        const int got = refusal.status;
        refusal = {};
        return got == status;
    };
    // Created twice.
    QVERIFY(sets.put("Morning", set, std::nullopt, true, &refusal).isEmpty() && expect(412));
    // Saved without saying what it began from.
    QVERIFY(sets.put("Morning", set, std::nullopt, false, &refusal).isEmpty() && expect(428));
    // Anna saves over the first version; Ben, who opened the first too, is
    // refused, and so is his delete.
    set.messages[0] = QStringLiteral("ANNA");
    const QByteArray annas = sets.put("Morning", set, first, false, &refusal);
    QVERIFY(!annas.isEmpty() && expect(0));
    set.messages[0] = QStringLiteral("BEN");
    QVERIFY(sets.put("Morning", set, first, false, &refusal).isEmpty() && expect(412));
    QVERIFY(!sets.remove("Morning", first, &refusal) && expect(412));
    QCOMPARE(sets.get("Morning", &refusal)->messages[0], QStringLiteral("ANNA"));
    // Deleted with Anna's version; an edit that began before is refused.
    QVERIFY(sets.remove("Morning", annas, &refusal) && expect(0));
    QVERIFY(sets.put("Morning", set, annas, false, &refusal).isEmpty() && expect(412));
    QVERIFY(!sets.get("Morning", &refusal) && expect(404));
}

QTEST_GUILESS_MAIN(TestSets)
#include "tst_sets.moc"
