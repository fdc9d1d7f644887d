// SPDX-License-Identifier: GPL-3.0-or-later
// The board's MQTT door against Debian's own broker, started on a free
// loopback port with a configuration written here, and its own clients,
// mosquitto_pub and mosquitto_sub; a pseudo-terminal is the board.
#include "eventloop.h"
#include "link/handovertrace.h"
#include "link/upload.h"
#include "mqtt/discovery.h"
#include "mqtt/door.h"
#include "mqtt/ledger.h"
#include "ptyboard.h"
#include "serve/serve.h"
#include "service/board.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>

#include <pwd.h>
#include <unistd.h>

namespace {

const QString kId = QStringLiteral("shop1");
const QByteArray kSet = R"({"messages":["OPEN","","LOW","","","","","","IDLE"],"levels":[1,0,1,0,0,0,0,1]})";

QByteArray json(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Debian's broker on 127.0.0.1 alone, anonymous unless `more` names a
// password file; `more` adds listeners and settings of its own. Its log,
// connections included, goes to a file; it is stopped by its own process
// id.
class Broker {
public:
    explicit Broker(quint16 port = 0, QString more = {}) : m_port(port ? port : freePort()), m_more(std::move(more)) {}
    ~Broker() { stop(); }
    bool start()
    {
        QFile conf(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Run by root, the broker would read its certificates as the user
        // mosquitto, who may not enter the test's folders.
        const passwd *self = ::getpwuid(::geteuid());
        conf.write(QStringLiteral("user %1\npersistence false\nlog_dest file %2\nlog_type error\nlog_type warning\n"
                                  "log_type notice\nlog_type information\nconnection_messages true\n%3\n"
                                  "listener %4 127.0.0.1\n")
                       .arg(QString::fromLocal8Bit(self ? self->pw_name : "root"), logPath(), m_more)
                       .arg(m_port)
                       .toUtf8());
        if (!m_more.contains(QLatin1String("password_file")))
            conf.write("allow_anonymous true\n");
        conf.close();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
        if (!m_process->waitForStarted(5000))
            return false;
        return runUntil(
            [this] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, m_port);
                return probe.waitForConnected(100);
            },
            10000);
    }
    void stop()
    {
        if (!m_process)
            return;
        ::kill(pid_t(m_process->processId()), SIGKILL);
        m_process->waitForFinished(5000);
        m_process.reset();
    }
    // Stopped as a hung machine is, and let go on.
    void freeze(bool frozen) { ::kill(pid_t(m_process->processId()), frozen ? SIGSTOP : SIGCONT); }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString logPath() const { return m_dir.filePath(QStringLiteral("mosquitto.log")); }
    // The lines of its log that match.
    int logged(const QRegularExpression &line) const
    {
        QFile log(logPath());
        if (!log.open(QIODevice::ReadOnly))
            return 0;
        return int(QString::fromUtf8(log.readAll()).split(QLatin1Char('\n')).filter(line).size());
    }

private:
    quint16 m_port;
    QString m_more;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
};

// mosquitto_sub on the board's topics: each message as it arrived.
// What the board's sender handed over since `offset` of its trace file,
// one line a character: "SECONDS.NANOSECONDS HEX".
struct HandedOver {
    QByteArray bytes;
    QList<qint64> atNs;
};

HandedOver handedOverSince(const QString &path, qint64 offset)
{
    HandedOver handed;
    QFile trace(path);
    if (!trace.open(QIODevice::ReadOnly) || !trace.seek(offset))
        return handed;
    for (const QByteArray &line : trace.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const QList<QByteArray> clock = fields[0].split('.');
        handed.atNs << clock[0].toLongLong() * 1000000000 + clock.value(1).toLongLong();
        handed.bytes += char(fields[1].toInt(nullptr, 16));
    }
    return handed;
}

class Listener {
public:
    struct Message {
        bool retained;
        QString topic;
        QByteArray correlation;
        QByteArray payload;
        QJsonObject object() const { return QJsonDocument::fromJson(payload).object(); }
    };
    // `more`: the account to read as, where the broker asks for one.
    Listener(quint16 port, const QString &topic, const QStringList &more = {})
    {
        m_process.start(QStringLiteral("mosquitto_sub"),
                        QStringList{"-h", "127.0.0.1", "-p", QString::number(port), "-V", "5", "-q", "1", "-t", topic,
                                    "-F", "%r\t%t\t%D\t%p"}
                            + more);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            m_buffer += m_process.readAllStandardOutput();
            for (qsizetype end; (end = m_buffer.indexOf('\n')) >= 0;) {
                const QList<QByteArray> fields = m_buffer.left(end).split('\t');
                m_buffer.remove(0, end + 1);
                if (fields.size() >= 4)
                    m_messages.append(
                        {fields[0] == "1", QString::fromUtf8(fields[1]), fields[2], fields.mid(3).join('\t')});
            }
        });
    }
    ~Listener()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }
    bool started() { return m_process.waitForStarted(5000); }
    QList<Message> on(const QString &topic) const
    {
        QList<Message> found;
        for (const Message &m : m_messages) {
            if (m.topic == topic)
                found << m;
        }
        return found;
    }
    // The results with this id, in order.
    QList<QJsonObject> results(const QString &id, const QString &topic = {}) const
    {
        QList<QJsonObject> found;
        for (const Message &m : on(topic.isEmpty() ? "pelorin/" + kId + "/result" : topic)) {
            if (m.object().value("id").toString() == id)
                found << m.object();
        }
        return found;
    }
    bool waitFor(const std::function<bool()> &done, int ms = 15000) const { return runUntil(done, ms); }
    void clear() { m_messages.clear(); }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QList<Message> m_messages;
};

// mosquitto_pub, waited for on the event loop, which the door and the
// pacer share.
bool publish(quint16 port, const QString &topic, const QByteArray &payload, const QStringList &more = {})
{
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"), QStringList{"-h", "127.0.0.1", "-p", QString::number(port), "-V", "5",
                                                           "-q", "1", "-t", topic, "-m", QString::fromUtf8(payload)}
                                                   + more);
    if (!pub.waitForStarted(5000))
        return false;
    runUntil([&] { return pub.state() == QProcess::NotRunning; }, 10000);
    return pub.exitStatus() == QProcess::NormalExit && pub.exitCode() == 0;
}

// A small authority made with openssl, as a shop makes one for its broker:
// its own CA, a certificate for the broker at 127.0.0.1 and localhost, one
// for a client, and a second CA that signed none of them.
struct Authority {
    QTemporaryDir dir;
    QString file(const QString &name) const { return dir.filePath(name); }
    bool make()
    {
        const auto openssl = [&](const QStringList &arguments) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            process.start(QStringLiteral("openssl"), arguments);
            return process.waitForFinished(30000) && process.exitCode() == 0;
        };
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        QFile names(file("names"));
        if (!names.open(QIODevice::WriteOnly) || !names.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"))
            return false;
        names.close();
        const auto sign = [&](const QString &name) {
            return openssl(QStringList{"req"} + key
                           + QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name})
                   && openssl({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                               "-CAcreateserial", "-days", "2", "-extfile", "names", "-out", name + ".pem"});
        };
        return openssl(QStringList{"req", "-x509"} + key
                       + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Shop CA"})
               && openssl(
                   QStringList{"req", "-x509"} + key
                   + QStringList{"-keyout", "other.key", "-out", "other.pem", "-days", "2", "-subj", "/CN=Other CA"})
               && sign("broker") && sign("client");
    }
    // A TLS listener's lines for mosquitto.conf.
    QString listener(const QString &address, quint16 port, bool clientCertificate) const
    {
        return QStringLiteral("listener %1 %2\ncafile %3\ncertfile %4\nkeyfile %5\nrequire_certificate %6\n")
            .arg(port)
            .arg(address, file("ca.pem"), file("broker.pem"), file("broker.key"),
                 clientCertificate ? QStringLiteral("true") : QStringLiteral("false"));
    }
};

// What this process writes to standard error, the journal under systemd,
// while it lives.
class Journal {
public:
    Journal() : m_saved(::dup(STDERR_FILENO))
    {
        m_file.open();
        std::fflush(stderr);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~Journal()
    {
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    QString text()
    {
        std::fflush(stderr);
        QFile read(m_file.fileName());
        return read.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(read.readAll()) : QString();
    }

private:
    int m_saved;
    QTemporaryFile m_file;
};

// Every file of a folder, for a word that must not be in any of them.
bool anyFileHolds(const QString &folder, const QByteArray &word)
{
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(word))
            return true;
    }
    return false;
}

}  // namespace

class TestMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sends();
    void replyTopic_data();
    void replyTopic();
    void refused_data();
    void refused();
    void oncePerId();
    void idsUnreadable();
    void busy();
    void staleVersion();
    void resultsWaitForTheBroker();
    void willAndReconnect();
    void keepsIds();
    void keepsResults_data();
    void keepsResults();
    void discovery_data();
    void discovery();
    void pressSendsSelected();
    void tls_data();
    void tls();
    void acl_data();
    void acl();
    void frozenBroker();
    void flood();
    void twins();
    void whileAway_data();
    void whileAway();

private:
    // The door on the state folder as it is, as after a restart.
    bool openDoor(bool discovery = false, int keepAlive = MqttDoor::kKeepAliveSeconds);
    QStringList configTopics() const { return mqtt::discovery::everyTopic({kId, {}}, QStringLiteral("homeassistant")); }
    QString topic(const QString &rest) const { return "pelorin/" + kId + "/" + rest; }
    QByteArray expectedStream() const;
    // What the board has read, once it has as much as `expected`: the last
    // character has left the program when "sent" is said, and the board's
    // end reads it when a loaded machine gets round to it.
    QByteArray boardReads(const QByteArray &expected) const
    {
        m_board->waitForBytes(int(expected.size()), 10000);
        return m_board->received();
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StateFolder> m_state;
    std::unique_ptr<Board> m_service;  // the board's service, as the door sees it
    std::unique_ptr<MqttDoor> m_door;
    std::unique_ptr<PtyBoard> m_board;
    QTemporaryDir m_traceDir;
};

void TestMqtt::initTestCase()
{
    // Each character the board's sender hands over, by its own clock.
    QVERIFY(m_traceDir.isValid());
    qputenv(HandOverTrace::kVariable, m_traceDir.filePath(QStringLiteral("handovers")).toLocal8Bit());
    if (QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {"/usr/sbin", "/usr/bin"}).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("mosquitto_pub")).isEmpty())
        QSKIP("mosquitto and mosquitto-clients are not installed: apt-get install mosquitto mosquitto-clients");
}

void TestMqtt::init()
{
    m_broker = std::make_unique<Broker>();
    QVERIFY(m_broker->start());
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = std::make_unique<StateFolder>(m_dir->path());
    QVERIFY(m_state->open());
    m_service = std::make_unique<Board>(*m_state, [] { return QStringList(); });
    QString why;
    QVERIFY2(m_service->open(&why), qPrintable(why));
    m_board = std::make_unique<PtyBoard>();
    QVERIFY(m_board->isValid());
    m_service->setDevice(m_board->path());
    // The pace is not what this tests.
    m_service->sender.setTickMs(20);
    SetStore::Refusal refusal;
    QVERIFY(
        !m_service->saveSet("Morning", QJsonDocument::fromJson(kSet).object(), std::nullopt, true, "anna", {}, &refusal)
             .isEmpty());
    QVERIFY(openDoor());
}

bool TestMqtt::openDoor(bool discovery, int keepAlive)
{
    m_door.reset();
    MqttOptions options;
    options.url = m_broker->url();
    options.id = kId;
    options.groups = {"north"};
    options.discovery = discovery;
    m_door = std::make_unique<MqttDoor>(*m_service, options);
    m_door->setKeepAliveSeconds(keepAlive);
    if (!m_door->start())
        return false;
    return runUntil([this] { return m_door->connected(); }, 15000);
}

void TestMqtt::cleanup()
{
    m_door.reset();
    m_service.reset();
    m_board.reset();
    m_broker.reset();
}

QByteArray TestMqtt::expectedStream() const
{
    SetStore::Refusal refusal;
    const auto set = SetStore::fromJson(QJsonDocument::fromJson(kSet).object(), &refusal);
    return upload::buildStream(SetStore::messageSet(*set)).toLatin1();
}

void TestMqtt::sends()
{
    Listener listener(m_broker->port(), "#");
    QVERIFY(listener.started());
    QVERIFY(listener.waitFor([&] { return !listener.on(topic("status")).isEmpty(); }));
    QCOMPARE(listener.on(topic("status")).last().payload, QByteArray("online"));
    // Through a group, with an MQTT 5 client's response topic.
    QVERIFY(
        publish(m_broker->port(), "pelorin/group/north/send", R"({"id":"a1","set":"Morning"})",
                {"-D", "publish", "response-topic", "central/replies", "-D", "publish", "correlation-data", "corr-7"}));
    QVERIFY(listener.waitFor([&] { return listener.results("a1").size() >= 2; }));
    const QList<QJsonObject> results = listener.results("a1");
    QCOMPARE(results[0].value("status").toString(), QStringLiteral("started"));
    QCOMPARE(results[1].value("status").toString(), QStringLiteral("sent"));
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    QVERIFY(listener.waitFor([&] { return listener.results("a1", "central/replies").size() >= 2; }));
    for (const auto &m : listener.on("central/replies"))
        QCOMPARE(m.correlation, QByteArray("corr-7"));
    // The state said so, retained, and the log names the door.
    const auto states = listener.on(topic("state"));
    QVERIFY(std::any_of(states.begin(), states.end(),
                        [](const auto &m) { return m.object().value("state") == QStringLiteral("sending"); }));
    QVERIFY(listener.waitFor([&] {
        return listener.on(topic("state")).last().object().value("last").toObject().value("result")
               == QStringLiteral("sent");
    }));
    const QList<QJsonObject> log = m_service->log.entries(10);
    QVERIFY(std::any_of(log.begin(), log.end(), [](const QJsonObject &e) {
        return e.value("event") == QStringLiteral("send started") && e.value("account") == QStringLiteral("mqtt");
    }));
}

void TestMqtt::replyTopic_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("answered");
    QTest::newRow("the client's own") << "central/replies" << true;
    // An answer "started" carries an id and a set: a send, to whichever
    // board reads it there.
    QTest::newRow("another board's send") << "pelorin/shop2/send" << false;
    QTest::newRow("a group's send") << "pelorin/group/north/send" << false;
}

void TestMqtt::replyTopic()
{
    QFETCH(QString, reply);
    QFETCH(bool, answered);
    Listener listener(m_broker->port(), "#");
    QVERIFY(listener.started());
    QTest::qWait(300);
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"q1","set":"Morning"})",
                    {"-D", "publish", "response-topic", reply}));
    QVERIFY(listener.waitFor([&] { return listener.results("q1").size() >= 2; }));
    QCOMPARE(listener.results("q1").at(1).value("status").toString(), QStringLiteral("sent"));
    // Each answer goes to the response topic after the result topic.
    QTest::qWait(500);
    QCOMPARE(listener.results("q1", reply).size(), answered ? 2 : 0);
}

void TestMqtt::refused_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("why");
    QTest::newRow("retained") << "send" << QByteArray(R"({"id":"r1","set":"Morning"})") << true << "r1"
                              << "Retained commands are never acted on";
    QTest::newRow("expired") << "send" << QByteArray(R"({"id":"e1","set":"Morning","expires":"2020-01-01T00:00:00Z"})")
                             << false << "e1"
                             << "expired";
    QTest::newRow("no time zone") << "send"
                                  << QByteArray(R"({"id":"e2","set":"Morning","expires":"2999-01-01T00:00:00"})")
                                  << false << "e2"
                                  << "RFC 3339";
    QTest::newRow("no id") << "send" << QByteArray(R"({"set":"Morning"})") << false << ""
                           << "needs an \"id\"";
    QTest::newRow("unknown set") << "send" << QByteArray(R"({"id":"u1","set":"Evening"})") << false << "u1"
                                 << "Evening";
    QTest::newRow("larger than 64 KB") << "send"
                                       << QByteArray(R"({"id":"l1","set":"Morning","pad":")") + QByteArray(70000, 'x')
                                              + R"("})"
                                       << false << ""
                                       << "larger than 64 KB";
    QTest::newRow("not JSON") << "send" << QByteArray(R"({"id":"j1","set":)") << false << ""
                              << "not JSON";
    QTest::newRow("17 characters")
        << "set/Sale"
        << QByteArray(
               R"({"id":"s1","messages":["0123456789ABCDEFG","","","","","","","","IDLE"],"levels":[0,0,0,0,0,0,0,0]})")
        << false << "s1"
        << "messages[0]: at most 16 characters";
}

void TestMqtt::refused()
{
    QFETCH(QString, where);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QString, id);
    QFETCH(QString, why);
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);  // subscribed before the command is published
    QVERIFY(publish(m_broker->port(), topic(where), payload, retained ? QStringList{"-r"} : QStringList()));
    QVERIFY(listener.waitFor([&] { return !listener.results(id).isEmpty(); }));
    const QJsonObject result = listener.results(id).first();
    QCOMPARE(result.value("status").toString(), QStringLiteral("refused"));
    QVERIFY2(result.value("error").toString().contains(why), qPrintable(result.value("error").toString()));
    // Given time to act, it sent nothing and saved nothing.
    QTest::qWait(500);
    QCOMPARE(m_board->received(), QByteArray());
    QCOMPARE(m_service->sets.list().size(), 1);
}

void TestMqtt::oncePerId()
{
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    const QByteArray command = R"({"id":"d1","set":"Morning"})";
    QVERIFY(publish(m_broker->port(), topic("send"), command));
    QVERIFY(listener.waitFor([&] { return listener.results("d1").size() >= 2; }));
    QVERIFY(publish(m_broker->port(), topic("send"), command));
    QVERIFY(listener.waitFor([&] { return listener.results("d1").size() >= 3; }));
    QJsonObject again = listener.results("d1").at(2);
    QCOMPARE(again.value("status").toString(), QStringLiteral("duplicate"));
    QCOMPARE(again.value("first").toObject().value("status").toString(), QStringLiteral("started"));
    QCOMPARE(again.value("end").toObject().value("status").toString(), QStringLiteral("sent"));
    // After a restart, from the state folder.
    QVERIFY(openDoor());
    QVERIFY(publish(m_broker->port(), topic("send"), command));
    QVERIFY(listener.waitFor([&] { return listener.results("d1").size() >= 4; }));
    QCOMPARE(listener.results("d1").at(3).value("status").toString(), QStringLiteral("duplicate"));
    // Delivered again once its time has passed: it was acted on all the
    // same, and says so.
    QVERIFY(
        publish(m_broker->port(), topic("send"), R"({"id":"d1","set":"Morning","expires":"2020-01-01T00:00:00Z"})"));
    QVERIFY(listener.waitFor([&] { return listener.results("d1").size() >= 5; }));
    again = listener.results("d1").at(4);
    QCOMPARE(again.value("status").toString(), QStringLiteral("duplicate"));
    QCOMPARE(again.value("end").toObject().value("status").toString(), QStringLiteral("sent"));
    QTest::qWait(300);
    QCOMPARE(boardReads(expectedStream()), expectedStream());
}

void TestMqtt::idsUnreadable()
{
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    const QByteArray command = R"({"id":"u1","set":"Morning"})";
    QVERIFY(publish(m_broker->port(), topic("send"), command));
    QVERIFY(listener.waitFor([&] { return listener.results("u1").size() >= 2; }));
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    // Cut short, the record cannot tell u1 from a new command: none is
    // acted on, the one delivered again nor a new one, and not after a
    // restart either.
    QVERIFY(m_state->write(mqtt::Handler::kIdsFile, R"({"ids": [{"id": "u1")"));
    for (int start = 0; start < 2; ++start) {
        QVERIFY(openDoor());
        QVERIFY(!m_state->copiesOf(mqtt::Handler::kIdsFile).isEmpty());
        for (const QString id : {"u1", "u2"}) {
            const qsizetype before = listener.results(id).size();
            QVERIFY(publish(m_broker->port(), topic("send"),
                            QStringLiteral(R"({"id":"%1","set":"Morning"})").arg(id).toUtf8()));
            QVERIFY(listener.waitFor([&] { return listener.results(id).size() > before; }));
            const QJsonObject said = listener.results(id).last();
            QCOMPARE(said.value("status").toString(), QStringLiteral("refused"));
            QVERIFY2(said.value("error").toString().contains("could not be read"),
                     qPrintable(said.value("error").toString()));
        }
    }
    QTest::qWait(300);
    QCOMPARE(m_board->received(), expectedStream());
    // The owner, having read why, deletes the copy: the board acts again.
    for (const QString &copy : m_state->copiesOf(mqtt::Handler::kIdsFile))
        QVERIFY(m_state->remove(copy));
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"u2","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return listener.results("u2").last().value("status") == "sent"; }));
    QCOMPARE(boardReads(expectedStream() + expectedStream()), expectedStream() + expectedStream());
}

void TestMqtt::busy()
{
    m_service->sender.setTickMs(100);
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"b1","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return !listener.results("b1").isEmpty(); }));
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"b2","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return !listener.results("b2").isEmpty(); }));
    const QJsonObject second = listener.results("b2").first();
    QCOMPARE(second.value("status").toString(), QStringLiteral("refused"));
    const QString said = second.value("error").toString();
    QVERIFY2(said.startsWith("\"Morning\" is being sent, ") && said.contains(" s left"), qPrintable(said));
    // The first goes on undisturbed, to its end.
    QVERIFY(listener.waitFor([&] { return listener.results("b1").size() >= 2; }, 30000));
    QCOMPARE(listener.results("b1").at(1).value("status").toString(), QStringLiteral("sent"));
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    // The refusal is remembered, across a restart too: delivered again
    // now that the board is free, it is still not acted on.
    QVERIFY(openDoor());
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"b2","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return listener.results("b2").size() >= 2; }));
    const QJsonObject again = listener.results("b2").at(1);
    QCOMPARE(again.value("status").toString(), QStringLiteral("duplicate"));
    QCOMPARE(again.value("first").toObject().value("status").toString(), QStringLiteral("refused"));
    QTest::qWait(300);
    QCOMPARE(m_board->received(), expectedStream());
}

void TestMqtt::staleVersion()
{
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    const QByteArray current = m_service->sets.list().first().second;
    QJsonObject edit = QJsonDocument::fromJson(kSet).object();
    edit.insert("id", "v1");
    edit.insert("version", QString::fromLatin1(current));
    edit.insert("messages", QJsonArray{"SHUT", "", "", "", "", "", "", "", "IDLE"});
    QVERIFY(publish(m_broker->port(), topic("set/Morning"), json(edit)));
    QVERIFY(listener.waitFor([&] { return !listener.results("v1").isEmpty(); }));
    const QJsonObject saved = listener.results("v1").first();
    QCOMPARE(saved.value("status").toString(), QStringLiteral("saved"));
    // Again from the version it no longer has: refused, with the set as it is.
    edit.insert("id", "v2");
    edit.insert("messages", QJsonArray{"LATE", "", "", "", "", "", "", "", "IDLE"});
    QVERIFY(publish(m_broker->port(), topic("set/Morning"), json(edit)));
    QVERIFY(listener.waitFor([&] { return !listener.results("v2").isEmpty(); }));
    const QJsonObject stale = listener.results("v2").first();
    QCOMPARE(stale.value("status").toString(), QStringLiteral("refused"));
    QVERIFY(stale.value("error").toString().contains("Someone else has changed"));
    QCOMPARE(stale.value("current").toObject().value("messages").toArray().first().toString(), QStringLiteral("SHUT"));
    QCOMPARE(stale.value("current").toObject().value("version").toString(), saved.value("version").toString());
}

void TestMqtt::resultsWaitForTheBroker()
{
    m_service->sender.setTickMs(100);
    Listener first(m_broker->port(), topic("result"));
    QVERIFY(first.started());
    QTest::qWait(300);
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"w1","set":"Morning"})"));
    QVERIFY(first.waitFor([&] { return !first.results("w1").isEmpty(); }));
    // The broker goes while the set is sent; the board still gets it all.
    const quint16 port = m_broker->port();
    m_broker.reset();
    QVERIFY(runUntil([this] { return !m_door->connected(); }, 15000));
    // The owner's page says so, and why, in words.
    QVERIFY(!m_service->broker.value("connected").toBool());
    QVERIFY2(m_service->broker.value("error").toString().contains("broker"),
             qPrintable(m_service->broker.value("error").toString()));
    QVERIFY(runUntil([this] { return !m_service->sender.busy(); }, 30000));
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    QVERIFY(QFile::exists(m_dir->filePath(MqttDoor::kResultsFile)));
    m_broker = std::make_unique<Broker>(port);
    QVERIFY(m_broker->start());
    Listener second(port, topic("#"));
    QVERIFY(second.started());
    // Reconnects back off from a second: within a few.
    QVERIFY(second.waitFor([&] { return !second.results("w1").isEmpty(); }, 20000));
    QCOMPARE(second.results("w1").first().value("status").toString(), QStringLiteral("sent"));
    QVERIFY(second.waitFor([&] {
        return !second.on(topic("status")).isEmpty() && !second.on(topic("state")).isEmpty()
               && !second.on(topic("sets")).isEmpty();
    }));
    QCOMPARE(second.on(topic("status")).last().payload, QByteArray("online"));
    QVERIFY(m_service->broker.value("connected").toBool());
    QVERIFY(!m_service->broker.value("since").toString().isEmpty());
    QVERIFY(!m_service->broker.contains("error"));
}

void TestMqtt::willAndReconnect()
{
    // A pelorin of its own, killed as a power cut would.
    m_door.reset();
    QTemporaryDir state;
    // As the command line starts it, so that the broker's options are
    // read as a person gives them.
    const QStringList arguments{"--serve", "--listen",      "127.0.0.1:0", "--state", state.path(),
                                "--mqtt",  m_broker->url(), "--mqtt-id",   "shop2"};
    const auto startChild = [&] {
        auto child = std::make_unique<QProcess>();
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start(QStringLiteral(PELORIN_BINARY), arguments);
        return child;
    };
    Listener listener(m_broker->port(), "pelorin/shop2/#");
    QVERIFY(listener.started());
    auto child = startChild();
    QVERIFY(child->waitForStarted(5000));
    const auto seen = [&](const QString &what) { return listener.on("pelorin/shop2/" + what).size(); };
    QVERIFY(listener.waitFor([&] { return seen("status") >= 1 && seen("state") >= 1 && seen("sets") >= 1; }));
    QCOMPARE(listener.on("pelorin/shop2/status").last().payload, QByteArray("online"));
    ::kill(pid_t(child->processId()), SIGKILL);
    child->waitForFinished(5000);
    // The broker gives the will once it finds the connection gone.
    QVERIFY(listener.waitFor([&] { return listener.on("pelorin/shop2/status").last().payload == "offline"; }));
    listener.clear();
    child = startChild();
    QVERIFY(listener.waitFor([&] { return seen("status") >= 1 && seen("state") >= 1 && seen("sets") >= 1; }));
    QCOMPARE(listener.on("pelorin/shop2/status").last().payload, QByteArray("online"));
    // Stopped as systemd stops it: "offline" said by pelorin itself, and
    // an end with no error.
    listener.clear();
    child->terminate();
    QVERIFY(child->waitForFinished(10000));
    QCOMPARE(child->exitStatus(), QProcess::NormalExit);
    QCOMPARE(child->exitCode(), 0);
    QVERIFY(listener.waitFor([&] { return seen("status") >= 1; }));
    QCOMPARE(listener.on("pelorin/shop2/status").last().payload, QByteArray("offline"));
}

void TestMqtt::keepsIds()
{
    // Every id of the last day, and the last 1,000 of any age.
    mqtt::SeenIds seen;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 1500; ++i)
        seen.add({QString::number(i), "started", {}, {}}, now.addDays(-3).addSecs(i));
    for (int i = 1500; i < 3000; ++i)
        seen.add({QString::number(i), "started", {}, {}}, now.addSecs(-3600));
    seen.prune(now);
    QCOMPARE(seen.size(), 1500);
    QVERIFY(!seen.find("1499") && seen.find("1500"));
    for (int i = 3000; i < 3100; ++i)
        seen.add({QString::number(i), "started", {}, {}}, now.addDays(-2));
    seen.prune(now.addDays(2));
    QCOMPARE(seen.size(), mqtt::SeenIds::kLast);
    QVERIFY(seen.find("3099") && !seen.find("2099"));
    QString why;
    const auto read = mqtt::SeenIds::fromJson(seen.toJson(), &why);
    QVERIFY2(read, qPrintable(why));
    QCOMPARE(read->size(), mqtt::SeenIds::kLast);
    QVERIFY(read->find("3099") && !read->find("2099"));
    // Past the most it holds, the oldest go, even within the day.
    mqtt::SeenIds flooded;
    for (int i = 0; i < mqtt::SeenIds::kMost + 10; ++i)
        flooded.add({QString::number(i), "refused", {}, {}}, now);
    QCOMPARE(flooded.size(), mqtt::SeenIds::kMost);
    QVERIFY(!flooded.find("9") && flooded.find("10"));
}

void TestMqtt::keepsResults_data()
{
    // The results kept while the broker is away, as the state folder holds
    // them: read back whole, or refused, never taken for none.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("count");  // -1: refused
    QTest::newRow("none kept") << QByteArray(R"({"results":[],"dropped":0})") << 0;
    QTest::newRow("one kept") << QByteArray(R"({"results":[{"result":{"id":"a","status":"sent"}}]})") << 1;
    QTest::newRow("no list") << QByteArray(R"({"dropped":3})") << -1;
    QTest::newRow("a list of another kind") << QByteArray(R"({"results":{}})") << -1;
    QTest::newRow("a result with no status") << QByteArray(R"({"results":[{"result":{"id":"a"}}]})") << -1;
}

void TestMqtt::keepsResults()
{
    QFETCH(QByteArray, file);
    QFETCH(int, count);
    QString why;
    const auto read = mqtt::Outbox::fromJson(file, &why);
    QCOMPARE(bool(read), count >= 0);
    QCOMPARE(why.isEmpty(), count >= 0);
    if (!read)
        return;
    QCOMPARE(read->items().size(), count);
    // Bounded, the oldest going first; what was dropped is said once.
    mqtt::Outbox box = *read;
    for (int i = 0; i < mqtt::Outbox::kMost + 5; ++i)
        box.add({{QString::number(i), "sent", {}, {}}, {}});
    QCOMPARE(box.items().size(), mqtt::Outbox::kMost);
    QCOMPARE(box.dropped(), count + 5);
    QCOMPARE(box.items().last().result.id, QString::number(mqtt::Outbox::kMost + 4));
    box.forgetDropped();
    const auto again = mqtt::Outbox::fromJson(box.toJson(), &why);
    QVERIFY2(again, qPrintable(why));
    QCOMPARE(again->dropped(), 0);
    QCOMPARE(again->items().size(), mqtt::Outbox::kMost);
}

void TestMqtt::discovery_data()
{
    // How the board knows, started without discovery, what to clear.
    QTest::addColumn<bool>("recordUnreadable");
    QTest::newRow("as recorded") << false;
    QTest::newRow("record unreadable") << true;
}

void TestMqtt::discovery()
{
    QFETCH(bool, recordUnreadable);
    QVERIFY(openDoor(true));
    Listener listener(m_broker->port(), "homeassistant/#");
    QVERIFY(listener.started());
    const auto configs = [&](const QString &topic) { return listener.on(topic); };
    const auto all = [&](int count) {
        for (const QString &topic : configTopics()) {
            if (configs(topic).size() < count)
                return false;
        }
        return true;
    };
    QVERIFY(listener.waitFor([&] { return all(1); }));
    // Retained, so that Home Assistant started later finds them. Asked of a
    // later subscriber: the broker flags a message retained only for one
    // who subscribed after it was published, and the first listener may
    // have been quicker than the door.
    {
        Listener later(m_broker->port(), "homeassistant/#");
        QVERIFY(later.started());
        QVERIFY(later.waitFor([&] {
            for (const QString &topic : configTopics()) {
                if (later.on(topic).isEmpty())
                    return false;
            }
            return true;
        }));
        for (const QString &topic : configTopics()) {
            QVERIFY2(later.on(topic).first().retained, qPrintable(topic));
            QVERIFY(!later.on(topic).first().object().value("unique_id").toString().isEmpty());
        }
    }
    // Home Assistant, started again, says so; it is told again.
    QVERIFY(publish(m_broker->port(), "homeassistant/status", "online"));
    QVERIFY(listener.waitFor([&] { return all(2); }));
    // A new set is a new option of the select.
    SetStore::Refusal refusal;
    QVERIFY(
        !m_service->saveSet("Evening", QJsonDocument::fromJson(kSet).object(), std::nullopt, true, "anna", {}, &refusal)
             .isEmpty());
    const QString select = configTopics().first();
    QVERIFY(listener.waitFor([&] {
        return configs(select).last().object().value("options").toArray() == QJsonArray{"Evening", "Morning"};
    }));

    if (recordUnreadable)
        QVERIFY(m_state->write(MqttDoor::kDiscoveryFile, "{\"announced\": 7"));
    listener.clear();
    QVERIFY(openDoor(false));
    QVERIFY(listener.waitFor([&] {
        for (const QString &topic : configTopics()) {
            if (configs(topic).isEmpty() || !configs(topic).last().payload.isEmpty())
                return false;
        }
        return true;
    }));
    // Nothing retained is left for Home Assistant to find.
    Listener later(m_broker->port(), "homeassistant/#");
    QVERIFY(later.started());
    QTest::qWait(1000);
    for (const QString &topic : configTopics())
        QVERIFY2(later.on(topic).isEmpty(), qPrintable(topic));
    if (recordUnreadable)
        QVERIFY(!m_state->problemsOf(MqttDoor::kDiscoveryFile).isEmpty());
}

void TestMqtt::pressSendsSelected()
{
    QVERIFY(openDoor(true));
    Listener listener(m_broker->port(), topic("#"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    const auto pressResults = [&] {
        QList<QJsonObject> found;
        for (const auto &m : listener.on(topic("result"))) {
            if (m.object().value("id").toString().startsWith("press-"))
                found << m.object();
        }
        return found;
    };
    const QStringList qos2{"-q", "2"};
    // Nothing chosen yet: nothing to send, and said so.
    QVERIFY(publish(m_broker->port(), topic("press"), mqtt::kPress, qos2));
    QVERIFY(listener.waitFor([&] { return pressResults().size() == 1; }));
    QCOMPARE(pressResults().first().value("status").toString(), QStringLiteral("refused"));
    QVERIFY(pressResults().first().value("error").toString().contains("No set is selected"));
    // A choice is kept, and sends nothing.
    QVERIFY(publish(m_broker->port(), topic("select"), "Morning"));
    QVERIFY(listener.waitFor([&] {
        const auto selected = listener.on(topic("selected"));
        return !selected.isEmpty() && selected.last().object().value("set") == QStringLiteral("Morning");
    }));
    QTest::qWait(300);
    QCOMPARE(m_board->received(), QByteArray());
    QVERIFY(publish(m_broker->port(), topic("press"), mqtt::kPress, qos2));
    QVERIFY(listener.waitFor([&] { return pressResults().size() >= 3; }));
    const QList<QJsonObject> results = pressResults();
    QCOMPARE(results[1].value("status").toString(), QStringLiteral("started"));
    QCOMPARE(results[2].value("status").toString(), QStringLiteral("sent"));
    QCOMPARE(results[1].value("id"), results[2].value("id"));
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    // Once: nothing more arrives, and the last result stays for Home
    // Assistant.
    QTest::qWait(500);
    QCOMPARE(boardReads(expectedStream()), expectedStream());
    QCOMPARE(pressResults().size(), 3);
    QCOMPARE(listener.on(topic("last-result")).last().object().value("status").toString(), QStringLiteral("sent"));
    // The choice outlasts a restart.
    listener.clear();
    QVERIFY(openDoor(true));
    QVERIFY(listener.waitFor([&] {
        const auto selected = listener.on(topic("selected"));
        return !selected.isEmpty() && selected.last().object().value("set") == QStringLiteral("Morning");
    }));
}

void TestMqtt::tls_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("ca");
    QTest::addColumn<bool>("certificateRequired");
    QTest::addColumn<bool>("certificateGiven");
    QTest::addColumn<QString>("why");  // empty where it connects
    QTest::newRow("trusted") << "127.0.0.1"
                             << "ca.pem" << false << false << "";
    QTest::newRow("another authority") << "127.0.0.1"
                                       << "other.pem" << false << false << "the broker's certificate is not trusted";
    // The same broker by an address its certificate does not name.
    QTest::newRow("another name") << "127.0.0.2"
                                  << "ca.pem" << false << false << "not made out to 127.0.0.2";
    QTest::newRow("client certificate") << "127.0.0.1"
                                        << "ca.pem" << true << true << "";
    QTest::newRow("no client certificate") << "127.0.0.1"
                                           << "ca.pem" << true << false << "the broker wants a client certificate";
}

void TestMqtt::tls()
{
    QFETCH(QString, host);
    QFETCH(QString, ca);
    QFETCH(bool, certificateRequired);
    QFETCH(bool, certificateGiven);
    QFETCH(QString, why);
    Authority authority;
    QVERIFY(authority.make());
    const quint16 tlsPort = freePort();
    // Test clients come in plainly on the broker's first port.
    Broker broker(0, authority.listener("127.0.0.1", tlsPort, certificateRequired)
                         + authority.listener("127.0.0.2", tlsPort, certificateRequired));
    QVERIFY(broker.start());
    m_door.reset();
    MqttOptions options;
    options.url = QStringLiteral("mqtts://%1:%2").arg(host).arg(tlsPort);
    options.id = kId;
    options.ca = authority.file(ca);
    if (certificateGiven) {
        options.certificate = authority.file("client.pem");
        options.key = authority.file("client.key");
    }
    Journal journal;
    m_door = std::make_unique<MqttDoor>(*m_service, options);
    QElapsedTimer since;
    since.start();
    QVERIFY(m_door->start());
    if (why.isEmpty()) {
        QVERIFY(runUntil([this] { return m_door->connected(); }, 15000));
        Listener listener(broker.port(), topic("result"));
        QVERIFY(listener.started());
        QTest::qWait(300);
        QVERIFY(publish(broker.port(), topic("send"), R"({"id":"t1","set":"Morning"})"));
        QVERIFY(listener.waitFor([&] { return listener.results("t1").size() >= 2; }));
        QCOMPARE(listener.results("t1").at(1).value("status").toString(), QStringLiteral("sent"));
        QCOMPARE(boardReads(expectedStream()), expectedStream());
        return;
    }
    // Refused, in words, in the journal as on the owner's page.
    QVERIFY2(runUntil([&] { return m_door->lastError().contains(why); }, 15000), qPrintable(journal.text()));
    QVERIFY2(journal.text().contains(why), qPrintable(journal.text()));
    // Tried again and again, backing off from a second: at 0, 1, 3 and 7 s
    // give or take a quarter, where a try each second would make seven.
    QTest::qWait(int(std::max<qint64>(0, 7000 - since.elapsed())));
    const int tries =
        broker.logged(QRegularExpression(QStringLiteral("New connection from .* on port %1\\.").arg(tlsPort)));
    QVERIFY2(tries >= 2 && tries <= 5, qPrintable(QString::number(tries)));
    QVERIFY(!m_door->connected());
}

void TestMqtt::acl_data()
{
    QTest::addColumn<QString>("board");         // its id, and its account on the broker
    QTest::addColumn<bool>("fromCredentials");  // its password from systemd's folder, not --mqtt-password-file
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("toGroup");  // to the board's group, not to the board
    QTest::addColumn<bool>("sent");
    QTest::newRow("a board's own account") << "a" << false << "a" << false << true;
    QTest::newRow("another board's account") << "b" << true << "a" << false << false;
    QTest::newRow("central to a") << "a" << true << "central" << false << true;
    QTest::newRow("central to b") << "b" << false << "central" << false << true;
    // A board reads its groups' sends and may give none.
    QTest::newRow("a board's account to the group") << "b" << false << "a" << true << false;
    QTest::newRow("central to the group") << "b" << false << "central" << true << true;
}

void TestMqtt::acl()
{
    QFETCH(QString, board);
    QFETCH(bool, fromCredentials);
    QFETCH(QString, sender);
    QFETCH(bool, toGroup);
    QFETCH(bool, sent);
    const QMap<QString, QString> passwords{{"a", "a-Sesame-41"}, {"b", "b-Sesame-42"}, {"central", "c-Sesame-43"}};
    QTemporaryDir dir;
    const QString passwordFile = dir.filePath("passwords"), aclFile = dir.filePath("acl");
    for (auto i = passwords.begin(); i != passwords.end(); ++i) {
        QStringList arguments{"-b", passwordFile, i.key(), i.value()};
        if (i == passwords.begin())
            arguments.prepend("-c");
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"), arguments), 0);
    }
    QFile acl(aclFile);
    QVERIFY(acl.open(QIODevice::WriteOnly));
    acl.write("pattern readwrite pelorin/%u/#\n"
              "pattern read pelorin/group/+/send\n"
              "user central\n"
              "topic write pelorin/+/send\n"
              "topic write pelorin/group/+/send\n"
              "topic read pelorin/+/result\n");
    acl.close();
    Broker broker(0,
                  QStringLiteral("password_file %1\nacl_file %2\nallow_anonymous false\n").arg(passwordFile, aclFile));
    QVERIFY(broker.start());

    m_door.reset();
    // As an editor leaves it, with a line end.
    const QString secret = dir.filePath(fromCredentials ? "credentials/mqtt-password" : "door-password");
    QVERIFY(QDir().mkpath(QFileInfo(secret).path()));
    QFile file(secret);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write((passwords[board] + "\n").toUtf8()));
    file.close();
    MqttOptions options;
    options.url = broker.url();
    options.id = board;
    options.user = board;
    options.groups = {"north"};
    if (fromCredentials)
        qputenv("CREDENTIALS_DIRECTORY", dir.filePath("credentials").toLocal8Bit());
    else
        options.passwordFile = secret;
    Journal journal;
    m_door = std::make_unique<MqttDoor>(*m_service, options);
    const bool started = m_door->start();
    qunsetenv("CREDENTIALS_DIRECTORY");
    QVERIFY2(started, qPrintable(m_door->error()));
    QVERIFY2(runUntil([this] { return m_door->connected(); }, 15000), qPrintable(m_door->lastError()));

    const QString results = "pelorin/" + board + "/result";
    Listener central(broker.port(), "pelorin/+/result", {"-u", "central", "-P", passwords["central"]});
    QVERIFY(central.started());
    QTest::qWait(300);
    // The broker refuses a publish its ACL forbids; mosquitto_pub says so
    // and fails, which is not what this judges.
    publish(broker.port(), toGroup ? "pelorin/group/north/send" : "pelorin/" + board + "/send",
            R"({"id":"k1","set":"Morning"})", {"-u", sender, "-P", passwords[sender]});
    if (sent) {
        QVERIFY(central.waitFor([&] { return central.results("k1", results).size() >= 2; }));
        QCOMPARE(central.results("k1", results).at(1).value("status").toString(), QStringLiteral("sent"));
        QCOMPARE(boardReads(expectedStream()), expectedStream());
    } else {
        QTest::qWait(2000);
        QCOMPARE(central.results("k1", results).size(), 0);
        QCOMPARE(m_board->received(), QByteArray());
    }
    // The password went nowhere: not to the journal, not to the state folder.
    QVERIFY(journal.text().contains("connected to the broker"));
    QVERIFY(!journal.text().contains(passwords[board]));
    QVERIFY(!anyFileHolds(m_dir->path(), passwords[board].toUtf8()));
}

void TestMqtt::frozenBroker()
{
    constexpr int keepAlive = 5;
    QVERIFY(openDoor(false, keepAlive));
    const QByteArray stream = expectedStream();
    // A send that lasts beyond the freeze being noticed.
    const int tick = std::max(100, 15000 / int(stream.size()));
    m_service->sender.setTickMs(tick);
    const QString tracePath = QString::fromLocal8Bit(qgetenv(HandOverTrace::kVariable));
    const qint64 traced = QFileInfo(tracePath).size();
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"f1","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return !listener.results("f1").isEmpty(); }));
    m_broker->freeze(true);
    QElapsedTimer frozen;
    frozen.start();
    // Within two keep-alives of the broker's last word, and the second of
    // the timer that looks; five seconds more for a loaded machine.
    const bool noticed = runUntil([this] { return !m_door->connected(); }, (2 * keepAlive + 1 + 5) * 1000);
    const qint64 after = frozen.elapsed();
    m_broker->freeze(false);
    QVERIFY2(noticed, "a frozen broker was not noticed");
    qInfo("noticed %lld ms after the freeze: %s", after, qPrintable(m_door->lastError()));
    QVERIFY(m_door->lastError().contains("stopped answering"));
    QVERIFY(runUntil([this] { return m_door->connected(); }, 60000));
    QVERIFY(runUntil([this] { return !m_service->sender.busy(); }, 60000));
    QCOMPARE(boardReads(stream), stream);
    // The set as handed over: every character, none sooner than a tick
    // after the one before.
    const HandedOver handed = handedOverSince(tracePath, traced);
    QCOMPARE(handed.bytes, stream);
    qint64 shortest = std::numeric_limits<qint64>::max();
    for (qsizetype i = 1; i < handed.atNs.size(); ++i)
        shortest = std::min(shortest, handed.atNs[i] - handed.atNs[i - 1]);
    QVERIFY2(shortest >= qint64(tick) * 1000000, qPrintable(QString::number(shortest)));
    // Its end said once the broker is back; a "started" again may come
    // before it.
    QVERIFY(listener.waitFor(
        [&] {
            const QList<QJsonObject> said = listener.results("f1");
            return std::any_of(said.begin(), said.end(),
                               [](const QJsonObject &r) { return r.value("status") == QStringLiteral("sent"); });
        },
        30000));
    const QList<QJsonObject> results = listener.results("f1");
    // A result the frozen broker never acknowledged comes again once it is
    // back, as QoS 1 has it: at least once, never another status.
    QCOMPARE(results.first().value("status").toString(), QStringLiteral("started"));
    QStringList statuses;
    for (const QJsonObject &r : results)
        statuses << r.value("status").toString();
    QVERIFY2(statuses.contains("sent") && statuses.count("started") + statuses.count("sent") == statuses.size(),
             qPrintable(statuses.join(", ")));
}

void TestMqtt::flood()
{
    const QByteArray stream = expectedStream();
    // A send that outlasts the flood's first commands.
    const int tick = std::max(100, 12000 / int(stream.size()));
    m_service->sender.setTickMs(tick);
    const QString tracePath = QString::fromLocal8Bit(qgetenv(HandOverTrace::kVariable));
    const qint64 traced = QFileInfo(tracePath).size();
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    QVERIFY(publish(m_broker->port(), topic("send"), R"({"id":"g0","set":"Morning"})"));
    QVERIFY(listener.waitFor([&] { return !listener.results("g0").isEmpty(); }));
    // A thousand commands at once, each with an id of its own, as long as
    // one may be: each is refused and kept. Each asks for a set there is
    // not, so that one the board gets to only after its send (a slow
    // machine's) is refused as well.
    QProcess flood;
    flood.start(QStringLiteral("mosquitto_pub"), {"-h", "127.0.0.1", "-p", QString::number(m_broker->port()), "-V", "5",
                                                  "-q", "1", "-t", topic("send"), "-l"});
    QVERIFY(flood.waitForStarted(5000));
    for (int i = 0; i < 1000; ++i)
        flood.write(
            json({{"id", QStringLiteral("g%1-").arg(i).leftJustified(200, QLatin1Char('x'))}, {"set", "Nowhere"}})
            + '\n');
    flood.closeWriteChannel();
    QVERIFY(runUntil([&] { return flood.state() == QProcess::NotRunning; }, 30000));
    QVERIFY(listener.waitFor([&] { return listener.results("g0").size() >= 2; }, 60000));
    QCOMPARE(listener.results("g0").at(1).value("status").toString(), QStringLiteral("sent"));
    QCOMPARE(boardReads(stream), stream);
    // No character held back by the flood: a loaded machine's scheduler
    // makes a gap longer by milliseconds, a second is far beyond it.
    const HandedOver handed = handedOverSince(tracePath, traced);
    QCOMPARE(handed.bytes, stream);
    qint64 longest = 0;
    for (qsizetype i = 1; i < handed.atNs.size(); ++i)
        longest = std::max(longest, (handed.atNs[i] - handed.atNs[i - 1]) / 1000000);
    qInfo("longest gap between characters: %lld ms, at one each %d ms", longest, tick);
    QVERIFY2(longest < tick + 1000, qPrintable(QString::number(longest)));
}

void TestMqtt::twins()
{
    // Two computers given the same --mqtt-id, so the same client id.
    m_door.reset();
    QTemporaryDir first, second;
    const auto startChild = [&](const QString &state) {
        auto child = std::make_unique<QProcess>();
        child->start(QStringLiteral(PELORIN_BINARY), {"--serve", "--listen", "127.0.0.1:0", "--state", state, "--mqtt",
                                                      m_broker->url(), "--mqtt-id", "twin"});
        return child;
    };
    auto one = startChild(first.path()), other = startChild(second.path());
    QVERIFY(one->waitForStarted(5000) && other->waitForStarted(5000));
    QString saidByOne, saidByOther;
    const QString words = "another client uses the id twin";
    const bool bothSaid = runUntil(
        [&] {
            saidByOne += QString::fromLocal8Bit(one->readAllStandardError());
            saidByOther += QString::fromLocal8Bit(other->readAllStandardError());
            return saidByOne.contains(words) && saidByOther.contains(words);
        },
        30000);
    QVERIFY2(bothSaid, qPrintable(saidByOne + "\n--\n" + saidByOther));
    // Neither knocks the other off again for minutes.
    const QRegularExpression connects(QStringLiteral("New client connected .* as pelorin-twin "));
    const int then = m_broker->logged(connects);
    QTest::qWait(10000);
    const int now = m_broker->logged(connects);
    qInfo("connects as pelorin-twin: %d, ten seconds later %d", then, now);
    QVERIFY2(now <= 6 && now - then <= 1, qPrintable(QStringLiteral("%1, then %2").arg(then).arg(now)));
    for (QProcess *child : {one.get(), other.get()}) {
        child->terminate();
        QVERIFY(child->waitForFinished(10000));
    }
}

void TestMqtt::whileAway_data()
{
    QTest::addColumn<int>("expiresMs");  // after the publish; 0 for never
    QTest::addColumn<QString>("status");
    QTest::newRow("sent on return") << 0 << "sent";
    QTest::newRow("expired meanwhile") << 1000 << "refused";
}

void TestMqtt::whileAway()
{
    QFETCH(int, expiresMs);
    QFETCH(QString, status);
    Listener listener(m_broker->port(), topic("result"));
    QVERIFY(listener.started());
    QTest::qWait(300);
    m_door.reset();  // the board's computer is off
    QJsonObject command{{"id", "p1"}, {"set", "Morning"}};
    if (expiresMs > 0)
        command.insert("expires", QDateTime::currentDateTimeUtc().addMSecs(expiresMs).toString(Qt::ISODateWithMs));
    QVERIFY(publish(m_broker->port(), topic("send"), json(command)));
    QTest::qWait(expiresMs + 1000);
    QVERIFY(openDoor());
    const qsizetype answers = status == "sent" ? 2 : 1;
    QVERIFY(listener.waitFor([&] { return listener.results("p1").size() >= answers; }, 20000));
    // Given time to act again: once.
    QTest::qWait(1000);
    const QList<QJsonObject> results = listener.results("p1");
    QCOMPARE(results.size(), answers);
    QCOMPARE(results.last().value("status").toString(), status);
    if (status == "sent") {
        QCOMPARE(boardReads(expectedStream()), expectedStream());
    } else {
        QVERIFY(results.last().value("error").toString().contains("expired"));
        QCOMPARE(m_board->received(), QByteArray());
    }
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
