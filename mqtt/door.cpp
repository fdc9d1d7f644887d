// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/door.h"

#include "service/board.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The journal keeps standard error under systemd.
void journal(const QString &line)
{
    const QByteArray bytes = (QStringLiteral("pelorin: ") + line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString words(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                : QString::fromUtf8(mosquitto_strerror(rc));
}

QByteArray compact(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

// How long a board that another client with the same id put off waits
// before it tries again, so that the two do not knock each other off for
// ever.
constexpr int kTakenOverSeconds = 300;
// The user property on "online" that tells one client of an id from
// another.
constexpr const char *kInstance = "instance";
// Between two publishes of the state while a set is sent.
constexpr int kStateMs = 300;

bool loopback(const QString &host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

}  // namespace

MqttDoor::MqttDoor(Board &board, MqttOptions options, QObject *parent)
    : QObject(parent), m_board(board),
      m_options(std::move(options)), m_topics{m_options.id.isEmpty() ? QHostInfo::localHostName() : m_options.id,
                                              m_options.groups},
      m_instance(QByteArray::number(QRandomGenerator::global()->generate64(), 16)),
      m_handler(board, m_topics, m_options.user.isEmpty() ? QStringLiteral("mqtt") : "mqtt:" + m_options.user, {},
                [this](const mqtt::Handler::Answer &a) { answer(a); })
{
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, &MqttDoor::misc);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttDoor::connectNow);
    m_stateTimer.setSingleShot(true);
    connect(&m_stateTimer, &QTimer::timeout, this, [this] {
        if (m_stateDirty)
            publishState();
    });
    m_idsTimer.setSingleShot(true);
    m_idsTimer.setInterval(kIdsSaveMs);
    connect(&m_idsTimer, &QTimer::timeout, this, [this] { m_handler.saveIds(); });
    m_handler.onIdsToSave([this] {
        if (!m_idsTimer.isActive())
            m_idsTimer.start();
    });
}

MqttDoor::~MqttDoor()
{
    if (m_handler.idsUnsaved())
        m_handler.saveIds();
    if (m_connecting.joinable()) {
        std::lock_guard lock(m_connectingFor->mutex);
        m_connectingFor->door = nullptr;
        if (m_connectingFor->done) {
            m_connecting.join();
        } else {
            // A broker whose address takes no connection holds the connect
            // for minutes; a stop does not wait for it. The client is left
            // to the thread, and goes with the process.
            m_connecting.detach();
            m_client = nullptr;
        }
    }
    if (m_client && m_connected) {
        // Said before a clean stop, as the will is kept for a death.
        publish(m_topics.status(), "offline", true);
        mosquitto_disconnect(m_client);
        // The socket does not wait: what it cannot take now is lost, and
        // the will says the same.
        for (int i = 0; i < 10 && mosquitto_want_write(m_client); ++i) {
            if (mosquitto_loop_write(m_client, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    if (m_board.changed)
        m_board.changed = nullptr;
    m_board.broker = {};
    m_read.reset();
    m_write.reset();
    if (m_client)
        mosquitto_destroy(m_client);
}

bool MqttDoor::start()
{
    const auto broker = mqtt::brokerOf(m_options.url, &m_error);
    if (!broker)
        return false;
    m_broker = *broker;
    if (const QString why = mqtt::boardIdMistake(m_topics.id); !why.isEmpty()) {
        // The host name stands in where no id is given.
        m_error = QStringLiteral("--mqtt-id %1: %2").arg(m_topics.id, why);
        return false;
    }
    for (const QString &group : m_topics.groups) {
        if (!mqtt::isName(group)) {
            m_error = QStringLiteral("--mqtt-group %1: %2").arg(group, QLatin1String(mqtt::kNameRule));
            return false;
        }
    }
    QString passwordFile = m_options.passwordFile;
    const QString credentials = QProcessEnvironment::systemEnvironment().value(QStringLiteral("CREDENTIALS_DIRECTORY"));
    if (passwordFile.isEmpty() && !credentials.isEmpty()
        && QFile::exists(credentials + QStringLiteral("/mqtt-password")))
        passwordFile = credentials + QStringLiteral("/mqtt-password");
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("the broker's password cannot be read from %1: %2")
                          .arg(passwordFile, file.errorString());
            return false;
        }
        // A file written by an editor ends in a line break that is no part
        // of the password.
        m_password = file.readAll();
        while (m_password.endsWith('\n') || m_password.endsWith('\r'))
            m_password.chop(1);
    }
    if (!m_broker.tls && !loopback(m_broker.host)) {
        m_warnings << QStringLiteral("plain MQTT to %1: commands, and the broker's password, cross the network "
                                     "unencrypted; where others share it, use mqtts://")
                          .arg(m_broker.host);
    }

    static const bool initialised = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    Q_UNUSED(initialised);
    // The same id at every connect, and no clean start: the broker keeps
    // the board's subscriptions and the commands published for it while
    // it is away, for kSessionSeconds. Two boards given the same --mqtt-id
    // have one client id, and the broker lets one of them on at a time.
    const QByteArray clientId = ("pelorin-" + m_topics.id).toUtf8();
    m_client = mosquitto_new(clientId.constData(), false, this);
    if (!m_client) {
        m_error = QStringLiteral("the MQTT client cannot be made: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    const QByteArray status = m_topics.status().toUtf8();
    mosquitto_will_set_v5(m_client, status.constData(), 7, "offline", 1, true, nullptr);
    if (!m_options.user.isEmpty()) {
        mosquitto_username_pw_set(m_client, m_options.user.toUtf8().constData(),
                                  m_password.isNull() ? nullptr : m_password.constData());
    }
    if (m_broker.tls) {
        const QByteArray ca = QFile::encodeName(m_options.ca), cert = QFile::encodeName(m_options.certificate),
                         key = QFile::encodeName(m_options.key);
        // Without --mqtt-ca, the system's authorities, as a browser trusts.
        if (m_options.ca.isEmpty())
            mosquitto_int_option(m_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int rc = mosquitto_tls_set(
            m_client, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
            cert.isEmpty() ? nullptr : cert.constData(), key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            m_error = QStringLiteral("the broker's TLS cannot be set up (--mqtt-ca, --mqtt-cert, --mqtt-key): %1")
                          .arg(words(rc));
            return false;
        }
        // The broker's certificate is checked, its name included.
        mosquitto_tls_opts_set(m_client, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(m_client, false);
    }
    mosquitto_connect_v5_callback_set(m_client, &MqttDoor::onConnect);
    mosquitto_disconnect_v5_callback_set(m_client, &MqttDoor::onDisconnect);
    mosquitto_message_v5_callback_set(m_client, &MqttDoor::onMessage);
    mosquitto_log_callback_set(m_client, &MqttDoor::onLog);

    m_handler.open();
    m_board.state.readWhole(
        QLatin1String(kResultsFile),
        [&](const QByteArray &bytes) {
            QString why;
            if (auto read = mqtt::Outbox::fromJson(bytes, &why))
                m_outbox = std::move(*read);
            return why;
        },
        QStringLiteral("Results of commands that were waiting for the broker are lost; the board's log still names "
                       "each command."));
    if (!m_board.state.readWhole(
            QLatin1String(kDiscoveryFile),
            [&](const QByteArray &bytes) {
                QString why;
                if (auto read = mqtt::discovery::Announced::fromJson(bytes, &why))
                    m_announced = std::move(*read);
                return why;
            },
            QStringLiteral("Home Assistant may show entities of this board that it no longer announces; they are "
                           "cleared under the discovery prefix given now."))) {
        // Clearing a configuration that was never published costs nothing;
        // leaving one behind leaves a dead entity in Home Assistant.
        m_announced.topics = mqtt::discovery::everyTopic(m_topics, m_options.discoveryPrefix);
    }
    m_handler.onSelected([this] { publishSelected(); });
    m_board.changed = [this](Board::Change change) { boardChanged(int(change)); };
    connect(&m_board.sender, &SetSender::advanced, this, [this] { boardChanged(-1); });
    showStanding();
    connectNow();
    return true;
}

void MqttDoor::connectNow()
{
    if (m_connecting.joinable())
        m_connecting.join();
    mosquitto *client = m_client;
    const QByteArray host = m_broker.host.toUtf8();
    const int port = m_broker.port, keepAlive = m_keepAlive;
    m_libraryErrors.clear();
    auto connecting = std::make_shared<Connecting>();
    connecting->door = this;
    m_connectingFor = connecting;
    // The library resolves the broker's name, connects and shakes hands
    // for TLS inside the call, which may wait seconds on a slow resolver
    // or a broker that does not answer: never on the event thread. Only
    // the connect that waits takes the properties a session needs to
    // outlast a disconnection; the asynchronous one sends none.
    m_connecting = std::thread([connecting, client, host, port, keepAlive] {
        mosquitto_property *properties = nullptr;
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionSeconds);
        // The library holds a message whole, and twice over while it reads
        // it: a client's 256 MB, which Mosquitto forwards by default, would
        // take half a gigabyte of a small computer. The broker drops what
        // is larger; up to this, a command too large is refused in words.
        mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, kLargestPacket);
        const int rc = mosquitto_connect_bind_v5(client, host.constData(), port, keepAlive, nullptr, properties);
        const int error = errno;
        mosquitto_property_free_all(&properties);
        std::lock_guard lock(connecting->mutex);
        connecting->done = true;
        if (MqttDoor *door = connecting->door) {
            QMetaObject::invokeMethod(
                door,
                [door, rc, error] {
                    errno = error;
                    door->connectCalled(rc);
                },
                Qt::QueuedConnection);
        }
    });
}

void MqttDoor::connectCalled(int rc)
{
    if (m_connecting.joinable())
        m_connecting.join();
    if (rc != MOSQ_ERR_SUCCESS) {
        setLastError(QStringLiteral("cannot reach the broker at %1:%2: %3")
                         .arg(m_broker.host)
                         .arg(m_broker.port)
                         .arg(rc == MOSQ_ERR_TLS || !tlsTrouble().isEmpty() ? tlsTrouble() : words(rc)));
        reconnectLater();
        return;
    }
    m_socket = mosquitto_socket(m_client);
    m_loopRc = MOSQ_ERR_SUCCESS;
    m_lossSaid = false;
    m_read = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    m_write = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Write);
    connect(m_read.get(), &QSocketNotifier::activated, this, &MqttDoor::readable);
    connect(m_write.get(), &QSocketNotifier::activated, this, &MqttDoor::writable);
    m_misc.start();
    settle();
}

void MqttDoor::readable()
{
    m_loopRc = mosquitto_loop_read(m_client, 1);
    settle();
    if (m_read && m_inbox.size() >= kInboxMost)
        m_read->setEnabled(false);
}

void MqttDoor::writable()
{
    m_loopRc = mosquitto_loop_write(m_client, 1);
    settle();
}

void MqttDoor::misc()
{
    // Keep-alive: a ping when due, and a broker that stopped answering
    // found out within two keep-alives of its last word.
    m_loopRc = mosquitto_loop_misc(m_client);
    settle();
}

void MqttDoor::settle()
{
    if (!m_client || m_socket < 0)
        return;
    if (mosquitto_socket(m_client) != m_socket) {
        lost();
        return;
    }
    m_write->setEnabled(mosquitto_want_write(m_client));
}

void MqttDoor::lost()
{
    // Before the event loop looks at a socket the library has closed; the
    // notifiers go once their signal has returned, as one of them may be
    // what called.
    for (std::unique_ptr<QSocketNotifier> *notifier : {&m_read, &m_write}) {
        (*notifier)->setEnabled(false);
        notifier->release()->deleteLater();
    }
    m_misc.stop();
    m_socket = -1;
    // A TLS handshake that fails once the connect has returned ends the
    // connection with no word from the library but its return.
    if (!m_lossSaid) {
        QString why = tlsTrouble();
        if (why.isEmpty())
            why = m_loopRc == MOSQ_ERR_SUCCESS || m_loopRc == MOSQ_ERR_CONN_LOST
                      ? QStringLiteral("it closed the connection")
                      : words(m_loopRc);
        setLastError(
            QStringLiteral("cannot reach the broker at %1:%2: %3").arg(m_broker.host).arg(m_broker.port).arg(why));
    }
    setConnected(false);
    m_putOff = m_wasUp;
    m_wasUp = false;
    reconnectLater();
}

void MqttDoor::reconnectLater()
{
    int seconds = std::min(60, 1 << std::min(m_failures, 6));
    ++m_failures;
    // Put off again by the other client of this id: seldom, from now on.
    // The first time, at once, as the other learns of this one only by
    // being put off in turn.
    if (m_twin && m_putOff)
        seconds = kTakenOverSeconds;
    // Jitter, so that boards that lost one broker together do not all
    // come back in the same second.
    const double factor = 0.75 + QRandomGenerator::global()->bounded(0.5);
    m_retry.start(std::clamp(int(seconds * 1000 * factor), 1000, 60000 * 5));
}

void MqttDoor::setLastError(const QString &error)
{
    // Once for each new trouble, not at every try while it lasts.
    if (error != m_lastError)
        journal(error);
    m_lastError = error;
    showStanding();
}

void MqttDoor::showStanding()
{
    QJsonObject standing{
        {"broker", QStringLiteral("%1://%2:%3")
                       .arg(m_broker.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), m_broker.host)
                       .arg(m_broker.port)},
        {"id", m_topics.id},
        {"connected", m_connected}};
    if (m_connected)
        standing.insert(QLatin1String("since"), m_since.toString(Qt::ISODate));
    if (!m_lastError.isEmpty())
        standing.insert(QLatin1String("error"), m_lastError);
    m_board.broker = standing;
}

void MqttDoor::setConnected(bool yes)
{
    if (yes == m_connected)
        return;
    m_connected = yes;
    if (yes)
        m_since = m_board.wallTime();
    showStanding();
    emit connectionChanged(yes);
}

void MqttDoor::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    auto *door = static_cast<MqttDoor *>(self);
    if (rc != 0) {
        door->m_lossSaid = true;
        door->setLastError(QStringLiteral("the broker at %1 refused the connection: %2")
                               .arg(door->m_broker.host, QString::fromUtf8(mosquitto_reason_string(rc))));
        return;
    }
    door->m_failures = 0;
    door->m_wasUp = true;
    door->m_statusSeen = false;
    journal(QStringLiteral("connected to the broker at %1:%2 as pelorin/%3")
                .arg(door->m_broker.host)
                .arg(door->m_broker.port)
                .arg(door->m_topics.id));
    door->m_lastError.clear();
    door->setConnected(true);
    for (const QString &topic : door->m_topics.commands()) {
        // Retain as published: a retained command is seen as one, and
        // refused, however it arrives. A press has no id to tell a repeat
        // by: the broker hands it on once.
        mosquitto_subscribe_v5(door->m_client, nullptr, topic.toUtf8().constData(),
                               topic == door->m_topics.press() ? 2 : 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    }
    // Home Assistant, started again, has forgotten what it was told.
    if (door->m_options.discovery)
        mosquitto_subscribe_v5(door->m_client, nullptr, door->homeAssistantStatus().toUtf8().constData(), 1, 0,
                               nullptr);
    // Its own status too, to find there another client of the same id.
    // At most once: a status missed while away is of no use.
    mosquitto_subscribe_v5(door->m_client, nullptr, door->m_topics.status().toUtf8().constData(), 0, 0, nullptr);
    mosquitto_property *instance = nullptr;
    mosquitto_property_add_string_pair(&instance, MQTT_PROP_USER_PROPERTY, kInstance, door->m_instance.constData());
    mosquitto_publish_v5(door->m_client, nullptr, door->m_topics.status().toUtf8().constData(), 6, "online", 1, true,
                         instance);
    mosquitto_property_free_all(&instance);
    door->publishState();
    door->publishSets();
    door->publishSelected();
    door->publishDiscovery();
    bool changed = false;
    if (door->m_outbox.dropped()) {
        journal(QStringLiteral("%1 results of MQTT commands were dropped while the broker was away")
                    .arg(door->m_outbox.dropped()));
        door->m_outbox.forgetDropped();
        changed = true;
    }
    while (!door->m_outbox.isEmpty()) {
        const mqtt::Outbox::Item item = door->m_outbox.takeFirst();
        door->answer({item.result, item.replyTo});
        changed = true;
    }
    if (changed)
        door->saveOutbox();
}

void MqttDoor::onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *)
{
    auto *door = static_cast<MqttDoor *>(self);
    door->m_lossSaid = true;
    if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
        door->sayTwin();
    } else if (rc == MOSQ_ERR_KEEPALIVE) {
        door->setLastError(QStringLiteral("the connection to the broker was lost: it stopped answering for %1 s")
                               .arg(door->m_keepAlive));
    } else if (rc != 0 && !door->tlsTrouble().isEmpty()) {
        // A broker that wants a client certificate says so once the
        // handshake seems done, at the first read.
        door->setLastError(QStringLiteral("the connection to the broker was lost: %1").arg(door->tlsTrouble()));
    } else if (rc != 0) {
        door->setLastError(QStringLiteral("the connection to the broker was lost: %1").arg(words(rc)));
    }
    door->setConnected(false);
}

void MqttDoor::onLog(mosquitto *, void *self, int level, const char *text)
{
    // The library says what OpenSSL found only here. Called on the
    // connecting thread too, while the door leaves the client to it.
    auto *door = static_cast<MqttDoor *>(self);
    if (level == MOSQ_LOG_ERR && door->m_libraryErrors.size() < 10)
        door->m_libraryErrors << QString::fromUtf8(text);
}

QString MqttDoor::tlsTrouble() const
{
    const QString said = m_libraryErrors.join(QLatin1Char(' '));
    if (said.contains(QLatin1String("host name verification failed"))) {
        return QStringLiteral("the broker's certificate is not made out to %1, the name connected to (%2)")
            .arg(m_broker.host, said);
    }
    if (said.contains(QLatin1String("certificate verify failed"))) {
        return QStringLiteral("the broker's certificate is not trusted, checked against %1 (%2)")
            .arg(m_options.ca.isEmpty() ? QStringLiteral("the system's list") : m_options.ca, said);
    }
    if (said.contains(QLatin1String("certificate required"))) {
        return QStringLiteral("the broker wants a client certificate (--mqtt-cert, --mqtt-key)%1 (%2)")
            .arg(m_options.certificate.isEmpty() ? QString() : QStringLiteral(" that it trusts"), said);
    }
    if (said.contains(QLatin1String("OpenSSL")))
        return QStringLiteral("TLS failed (%1)").arg(said);
    return {};
}

void MqttDoor::sayTwin()
{
    setLastError(QStringLiteral("another client uses the id %1 (is --mqtt-id %1 given to two boards?): the broker lets "
                                "one of them on at a time; this one tries again every %2 minutes")
                     .arg(m_topics.id)
                     .arg(kTakenOverSeconds / 60));
}

void MqttDoor::statusSeen(const mosquitto_message *message, const mosquitto_property *properties)
{
    // Mosquitto puts a client off for another of the same id with no
    // reason given. The first status after a connect tells: the retained
    // one, "online" from another process where that other is still on, or
    // this process's own.
    char *name = nullptr, *value = nullptr;
    QByteArray instance;
    if (mosquitto_property_read_string_pair(properties, MQTT_PROP_USER_PROPERTY, &name, &value, false)) {
        if (std::strcmp(name, kInstance) == 0)
            instance = value;
        std::free(name);
        std::free(value);
    }
    const bool own = instance == m_instance;
    if (m_statusSeen || (!message->retain && !own))
        return;
    m_statusSeen = true;
    const bool other = message->retain && !own && !instance.isEmpty()
                       && QByteArray(static_cast<const char *>(message->payload), message->payloadlen) == "online";
    // Put off, and another is on: the other of a pair. A process that
    // died is still "online" until the broker notices, but did not put
    // this one off.
    if (other && (m_putOff || m_twin)) {
        m_twin = true;
        sayTwin();
    } else if (!other) {
        m_twin = false;
    }
    m_putOff = false;
}

void MqttDoor::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                         const mosquitto_property *properties)
{
    auto *door = static_cast<MqttDoor *>(self);
    const QString topic = QString::fromUtf8(message->topic);
    // What is past the largest command only makes it refused, which a
    // byte past it does as well: a waiting command holds no more.
    const QByteArray payload(static_cast<const char *>(message->payload),
                             std::min<qsizetype>(message->payloadlen, mqtt::kLargestPayload + 1));
    if (door->m_options.discovery && topic == door->homeAssistantStatus()) {
        if (payload == "online")
            door->publishDiscovery();
        return;
    }
    if (topic == door->m_topics.status()) {
        door->statusSeen(message, properties);
        return;
    }
    mqtt::ReplyTo replyTo;
    char *responseTopic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        replyTo.topic = QString::fromUtf8(responseTopic);
        std::free(responseTopic);
    }
    void *correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false)) {
        replyTo.correlation = QByteArray(static_cast<const char *>(correlation), length);
        std::free(correlation);
    }
    door->m_inbox.append({topic, payload, message->retain, replyTo});
    if (!door->m_taking) {
        door->m_taking = true;
        QMetaObject::invokeMethod(door, &MqttDoor::takeNext, Qt::QueuedConnection);
    }
}

void MqttDoor::takeNext()
{
    m_taking = false;
    if (m_inbox.isEmpty())
        return;
    const Incoming next = m_inbox.takeFirst();
    m_handler.take(next.topic, next.payload, next.retained, next.replyTo);
    if (!m_inbox.isEmpty()) {
        m_taking = true;
        QMetaObject::invokeMethod(this, &MqttDoor::takeNext, Qt::QueuedConnection);
    }
    if (m_read && m_inbox.size() < kInboxMost)
        m_read->setEnabled(true);
}

void MqttDoor::publish(const QString &topic, const QByteArray &payload, bool retained, const mqtt::ReplyTo &replyTo)
{
    mosquitto_property *properties = nullptr;
    if (!replyTo.correlation.isEmpty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, replyTo.correlation.constData(),
                                      uint16_t(replyTo.correlation.size()));
    mosquitto_publish_v5(m_client, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1,
                         retained, properties);
    mosquitto_property_free_all(&properties);
}

void MqttDoor::answer(const mqtt::Handler::Answer &answer)
{
    if (!m_connected) {
        m_outbox.add({answer.result, answer.replyTo});
        saveOutbox();
        return;
    }
    const QByteArray payload = compact(answer.result.toJson());
    publish(m_topics.result(), payload, false);
    publish(m_topics.lastResult(), payload, true);
    // A response topic under pelorin/ may be a board's command topic,
    // its own or another's: a "started" answer there, with its "id" and
    // "set", is a send. The client's word alone would have this board
    // command others, as far as its account may write.
    const QString &reply = answer.replyTo.topic;
    if (!reply.isEmpty() && !reply.startsWith(QLatin1String("pelorin/")) && !reply.contains(QLatin1Char('+'))
        && !reply.contains(QLatin1Char('#')))
        publish(reply, payload, false, answer.replyTo);
    settle();
}

void MqttDoor::publishState()
{
    m_stateDirty = false;
    if (!m_connected)
        return;
    publish(m_topics.state(), compact(m_board.status()), true);
    m_stateTimer.start(kStateMs);
    settle();
}

void MqttDoor::publishSets()
{
    if (!m_connected)
        return;
    QJsonArray list;
    for (const auto &[name, version] : m_board.sets.list())
        list.append(QJsonObject{{"name", name}, {"version", QString::fromLatin1(version)}});
    publish(m_topics.sets(), compact(list), true);
    settle();
}

void MqttDoor::publishSelected()
{
    if (!m_connected)
        return;
    const QString set = m_handler.selected();
    publish(m_topics.selected(), compact(QJsonObject{{"set", set.isEmpty() ? QJsonValue() : QJsonValue(set)}}), true);
    settle();
}

void MqttDoor::publishDiscovery()
{
    if (!m_connected)
        return;
    QList<mqtt::discovery::Entity> entities;
    if (m_options.discovery) {
        QStringList sets;
        for (const auto &[name, version] : m_board.sets.list())
            sets << name;
        entities =
            mqtt::discovery::entities(m_topics, m_options.discoveryPrefix, sets, QStringLiteral(PELORIN_VERSION));
    }
    // An empty retained configuration is how Home Assistant is told that
    // an entity is gone.
    for (const QString &topic : mqtt::discovery::gone(m_announced.topics, entities))
        publish(topic, {}, true);
    mqtt::discovery::Announced now;
    for (const mqtt::discovery::Entity &entity : entities) {
        publish(entity.topic, compact(entity.config), true);
        now.topics << entity.topic;
    }
    if (now.topics != m_announced.topics) {
        m_announced = now;
        m_board.saveOrSay(QLatin1String(kDiscoveryFile), m_announced.toJson());
    }
    settle();
}

void MqttDoor::boardChanged(int change)
{
    if (change == int(Board::Change::Sets)) {
        publishSets();
        // A set gone may have been the one chosen; the select's options
        // are the sets.
        publishSelected();
        publishDiscovery();
        return;
    }
    if (change == int(Board::Change::UploadEnded))
        m_handler.uploadEnded();
    // While a set is sent, at most one state each kStateMs; a start and an
    // end go at once.
    if (change >= 0 || !m_stateTimer.isActive())
        publishState();
    else
        m_stateDirty = true;
}

void MqttDoor::saveOutbox() { m_board.saveOrSay(QLatin1String(kResultsFile), m_outbox.toJson()); }
