// SPDX-License-Identifier: GPL-3.0-or-later
// What the board announces to Home Assistant, field by field against the
// schema of each entity's MQTT platform, and the plain words its select
// and button publish.
#include "mqtt/commands.h"
#include "mqtt/discovery.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace mqtt;

namespace {

const Topics kTopics{QStringLiteral("shop.1"), {}};
const QString kVersion = QStringLiteral("9.8.7");
const QStringList kSets{QStringLiteral("Morning"), QStringLiteral("Late shift")};

std::optional<discovery::Entity> named(const QList<discovery::Entity> &all, const QString &name)
{
    for (const discovery::Entity &e : all) {
        if (e.config.value("name").toString() == name)
            return e;
    }
    return std::nullopt;
}

}  // namespace

class TestDiscovery : public QObject {
    Q_OBJECT
private slots:
    void schema_data();
    void schema();
    void oneDevice();
    void noSelectWithoutSets();
    void nodeIds_data();
    void nodeIds();
    void record();
    void plainCommands_data();
    void plainCommands();
};

void TestDiscovery::schema_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("component");
    // Each topic key and the board's topic it must name.
    QTest::addColumn<QStringList>("topics");
    QTest::addColumn<QStringList>("required");
    QTest::newRow("select") << "Set"
                            << "select"
                            << QStringList{"command_topic", kTopics.select(), "state_topic", kTopics.selected()}
                            << QStringList{"command_topic", "options", "value_template"};
    QTest::newRow("button") << "Send"
                            << "button" << QStringList{"command_topic", kTopics.press()}
                            << QStringList{"command_topic", "payload_press"};
    QTest::newRow("state") << "State"
                           << "sensor"
                           << QStringList{"state_topic", kTopics.state(), "json_attributes_topic", kTopics.state()}
                           << QStringList{"state_topic", "value_template", "options"};
    QTest::newRow("last result") << "Last result"
                                 << "sensor"
                                 << QStringList{"state_topic", kTopics.lastResult(), "json_attributes_topic",
                                                kTopics.lastResult()}
                                 << QStringList{"state_topic", "value_template"};
}

void TestDiscovery::schema()
{
    QFETCH(QString, name);
    QFETCH(QString, component);
    QFETCH(QStringList, topics);
    QFETCH(QStringList, required);
    const auto entity = named(discovery::entities(kTopics, "homeassistant", kSets, kVersion), name);
    QVERIFY(entity);
    const QJsonObject &c = entity->config;
    QCOMPARE(entity->component, component);
    // <prefix>/<component>/<node_id>/<object_id>/config, in the letters
    // Home Assistant's discovery takes.
    const QRegularExpression shape("^homeassistant/" + component + "/[a-zA-Z0-9_-]+/[a-zA-Z0-9_-]+/config$");
    QVERIFY2(shape.match(entity->topic).hasMatch(), qPrintable(entity->topic));
    for (const QString &key : required)
        QVERIFY2(c.contains(key), qPrintable(key));
    for (qsizetype i = 0; i < topics.size(); i += 2)
        QCOMPARE(c.value(topics[i]).toString(), topics[i + 1]);
    QCOMPARE(c.value("availability_topic").toString(), kTopics.status());
    QCOMPARE(c.value("payload_available").toString(), QStringLiteral("online"));
    QCOMPARE(c.value("payload_not_available").toString(), QStringLiteral("offline"));
    // The full names throughout, and the entity id as the domain's.
    for (const char *abbreviated : {"uniq_id", "dev", "avty_t", "cmd_t", "stat_t", "object_id", "obj_id"})
        QVERIFY2(!c.contains(abbreviated), abbreviated);
    QVERIFY(QRegularExpression("^" + component + "\\.[a-z0-9_]+$")
                .match(c.value("default_entity_id").toString())
                .hasMatch());
    QVERIFY(!c.value("unique_id").toString().isEmpty());
    if (component == QLatin1String("select")) {
        QCOMPARE(c.value("options").toArray(), QJsonArray::fromStringList(kSets));
    } else if (component == QLatin1String("button")) {
        QCOMPARE(c.value("payload_press").toString(), QLatin1String(kPress));
        QCOMPARE(c.value("qos").toInt(), 2);
    } else if (name == QLatin1String("State")) {
        // An enum sensor's state is one of its options.
        QCOMPARE(c.value("device_class").toString(), QStringLiteral("enum"));
        QCOMPARE(c.value("options").toArray(), (QJsonArray{"idle", "sending"}));
    }
}

void TestDiscovery::oneDevice()
{
    const QList<discovery::Entity> all = discovery::entities(kTopics, "homeassistant", kSets, kVersion);
    QCOMPARE(all.size(), 4);
    QSet<QString> ids, entityIds, topics;
    for (const discovery::Entity &e : all) {
        ids << e.config.value("unique_id").toString();
        entityIds << e.config.value("default_entity_id").toString();
        topics << e.topic;
        QCOMPARE(e.config.value("device").toObject(), all.first().config.value("device").toObject());
    }
    QCOMPARE(ids.size(), all.size());
    QCOMPARE(entityIds.size(), all.size());
    QCOMPARE(topics.size(), all.size());
    const QJsonObject device = all.first().config.value("device").toObject();
    QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"pelorin_shop.1"});
    QCOMPARE(device.value("sw_version").toString(), kVersion);
    for (const char *key : {"name", "manufacturer", "model"})
        QVERIFY2(!device.value(key).toString().isEmpty(), key);
    // Stable: other sets, another version and another prefix change no
    // entity's id, so Home Assistant keeps its names and history.
    const QList<discovery::Entity> later = discovery::entities(kTopics, "ha", {"Evening"}, "10.0.0");
    for (const discovery::Entity &e : later)
        QVERIFY(ids.contains(e.config.value("unique_id").toString()));
    // And a board of another id shares none.
    for (const discovery::Entity &e : discovery::entities({"shop_1", {}}, "homeassistant", kSets, kVersion)) {
        QVERIFY(!ids.contains(e.config.value("unique_id").toString()));
        QVERIFY(!topics.contains(e.topic));
    }
}

void TestDiscovery::noSelectWithoutSets()
{
    const QList<discovery::Entity> before = discovery::entities(kTopics, "homeassistant", kSets, kVersion);
    const QList<discovery::Entity> now = discovery::entities(kTopics, "homeassistant", {}, kVersion);
    QVERIFY(!named(now, "Set"));
    QStringList announced;
    for (const discovery::Entity &e : before)
        announced << e.topic;
    QCOMPARE(discovery::gone(announced, now), QStringList{named(before, "Set")->topic});
    // What is cleared where the record is lost holds every one.
    QCOMPARE(discovery::everyTopic(kTopics, "homeassistant"), announced);
}

void TestDiscovery::nodeIds_data()
{
    QTest::addColumn<QString>("one");
    QTest::addColumn<QString>("other");
    QTest::newRow("dot and underscore") << "a.b"
                                        << "a_b";
    QTest::newRow("dot and dash") << "a.b"
                                  << "a-b";
    QTest::newRow("escape spelled out") << "a."
                                        << "a_d";
    QTest::newRow("doubled") << "a__"
                             << "a_.";
    QTest::newRow("case") << "Shop"
                          << "shop";
}

void TestDiscovery::nodeIds()
{
    QFETCH(QString, one);
    QFETCH(QString, other);
    const QRegularExpression level("^[a-zA-Z0-9_-]+$");
    QVERIFY(level.match(discovery::nodeId(one)).hasMatch());
    QVERIFY(level.match(discovery::nodeId(other)).hasMatch());
    QVERIFY(discovery::nodeId(one) != discovery::nodeId(other));
}

void TestDiscovery::record()
{
    const discovery::Announced written{discovery::everyTopic(kTopics, "homeassistant")};
    QString why;
    const auto read = discovery::Announced::fromJson(written.toJson(), &why);
    QVERIFY2(read, qPrintable(why));
    QCOMPARE(read->topics, written.topics);
    for (const QByteArray &bytes :
         {QByteArray("{\"announced\":[1]}"), QByteArray("[]"), QByteArray("{\"announced\":")}) {
        why.clear();
        QVERIFY2(!discovery::Announced::fromJson(bytes, &why), bytes.constData());
        QVERIFY(!why.isEmpty());
    }
}

void TestDiscovery::plainCommands_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<int>("kind");  // -1: refused
    QTest::addColumn<QString>("said");
    QTest::newRow("chosen") << kTopics.select() << QByteArray("Late shift") << false << int(Command::Select)
                            << "Late shift";
    QTest::newRow("pressed") << kTopics.press() << QByteArray(kPress) << false << int(Command::Press) << "";
    QTest::newRow("pressed in other words") << kTopics.press() << QByteArray("press") << false << -1 << "PRESS alone";
    QTest::newRow("JSON as a choice") << kTopics.select() << QByteArray(R"({"set":"Morning"})") << false << -1
                                      << "name of a stored set";
    QTest::newRow("retained choice") << kTopics.select() << QByteArray("Morning") << true << -1 << "Retained";
    QTest::newRow("retained press") << kTopics.press() << QByteArray(kPress) << true << -1 << "Retained";
}

void TestDiscovery::plainCommands()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(int, kind);
    QFETCH(QString, said);
    const Parsed parsed = parse(kTopics, topic, payload, retained, QDateTime::currentDateTimeUtc());
    if (kind < 0) {
        QVERIFY(!parsed.command && parsed.refusal);
        QVERIFY2(parsed.refusal->error.contains(said), qPrintable(parsed.refusal->error));
        return;
    }
    QVERIFY(parsed.command && !parsed.refusal);
    QCOMPARE(int(parsed.command->kind), kind);
    QCOMPARE(parsed.command->set, said);
    // A retained one cleared is nothing to answer.
    const Parsed cleared = parse(kTopics, topic, {}, true, QDateTime::currentDateTimeUtc());
    QVERIFY(!cleared.command && !cleared.refusal);
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
