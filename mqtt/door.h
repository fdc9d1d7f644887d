// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/discovery.h"
#include "mqtt/handler.h"
#include "mqtt/ledger.h"
#include "service/serveoptions.h"

#include <QDateTime>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct Board;
struct mosquitto;

// The board's service on an MQTT broker: a client of the broker, on the
// event loop the board's pacer uses, so that it needs no lock and a slow
// broker delays no character. Its socket is watched by notifiers and its
// keep-alive driven by a timer; the one call that may wait on the network
// by itself, the connect (it resolves the broker's name), runs on a thread
// of its own for the time it takes, while the door does nothing else with
// the client.
class MqttDoor : public QObject {
    Q_OBJECT
public:
    MqttDoor(Board &board, MqttOptions options, QObject *parent = nullptr);
    ~MqttDoor() override;

    // Judges the options, reads the password, and starts connecting, for
    // good: a broker that is away is tried again and again. False, and
    // error(), where the options cannot work.
    bool start();
    QString error() const { return m_error; }
    // Warnings for the journal, once started (plain MQTT over a network).
    QStringList warnings() const { return m_warnings; }

    bool connected() const { return m_connected; }
    QDateTime connectedSince() const { return m_since; }
    QString lastError() const { return m_lastError; }
    QString id() const { return m_topics.id; }

    // A broker that stops answering is noticed between one and two
    // keep-alives after its last word: a ping goes once it has been quiet
    // for one, and the connection is given up when the ping has had one.
    static constexpr int kKeepAliveSeconds = 30;
    // The tests' frozen broker is noticed sooner; the library takes no
    // less than 5. Before start().
    void setKeepAliveSeconds(int seconds) { m_keepAlive = seconds; }
    // How long the broker keeps the board's session, and the commands
    // published for it, while the board is away: as long as the ids of
    // commands are kept at least, so that one delivered again is known.
    static constexpr int kSessionSeconds = 24 * 3600;
    // The largest packet the broker hands the board.
    static constexpr int kLargestPacket = 1024 * 1024;
    static constexpr const char *kResultsFile = "mqtt-results.json";
    // What the board announced to Home Assistant.
    static constexpr const char *kDiscoveryFile = "mqtt-discovery.json";

signals:
    void connectionChanged(bool connected);

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const struct mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const struct mqtt5__property *);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *message,
                          const struct mqtt5__property *properties);

    void connectNow();
    void connectCalled(int rc);
    void setConnected(bool yes);
    void setLastError(const QString &error);
    // What the owner's page shows of the broker.
    void showStanding();
    void readable();
    // Acts on the oldest command read, and has the next one wait for
    // another turn of the event loop.
    void takeNext();
    void writable();
    void misc();
    // After each call into the library: follows its socket, and what it
    // wants to write.
    void settle();
    void lost();
    void statusSeen(const struct mosquitto_message *message, const struct mqtt5__property *properties);
    void sayTwin();
    // Why a TLS connection failed, from what the library logged; empty
    // where it logged no trouble with TLS.
    QString tlsTrouble() const;
    void reconnectLater();

    void publish(const QString &topic, const QByteArray &payload, bool retained, const mqtt::ReplyTo &replyTo = {});
    void answer(const mqtt::Handler::Answer &answer);
    void publishState();
    void publishSets();
    void publishSelected();
    // Announces the board to Home Assistant, with --mqtt-discovery, and
    // clears what it announced before and no longer does.
    void publishDiscovery();
    QString homeAssistantStatus() const { return m_options.discoveryPrefix + QStringLiteral("/status"); }
    void boardChanged(int change);
    void saveOutbox();

    Board &m_board;
    MqttOptions m_options;
    mqtt::Broker m_broker;
    mqtt::Topics m_topics;
    QByteArray m_instance;  // this process among clients of the same id
    mqtt::Handler m_handler;
    mqtt::Outbox m_outbox;
    mqtt::discovery::Announced m_announced;
    mosquitto *m_client = nullptr;
    QByteArray m_password;
    std::thread m_connecting;
    // What the connecting thread answers to: no door once it has gone, as
    // a connect to a broker that does not answer may outlast it.
    struct Connecting {
        std::mutex mutex;
        MqttDoor *door = nullptr;
        bool done = false;
    };
    std::shared_ptr<Connecting> m_connectingFor;
    int m_keepAlive = kKeepAliveSeconds;
    QStringList m_libraryErrors;  // since the last connect
    int m_loopRc = 0;             // the library's last call on the socket
    bool m_lossSaid = false;      // the library has said why the connection ended
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_read, m_write;
    QTimer m_misc, m_retry, m_stateTimer;
    // Refused commands' ids are written at most this often.
    static constexpr int kIdsSaveMs = 2000;
    QTimer m_idsTimer;
    bool m_stateDirty = false;
    int m_failures = 0;  // connects in a row that did not last
    bool m_connected = false;
    QDateTime m_since;
    QString m_error, m_lastError;
    QStringList m_warnings;
    // Another client of the same id: this one was put off (its last
    // connection ended), and then found the other on.
    bool m_wasUp = false, m_putOff = false, m_twin = false;
    bool m_statusSeen = false;  // the first since the connect
    // Commands read and not yet acted on. The library reads as many
    // packets at a time as it has messages in flight, which a flood makes
    // hundreds: acted on as they are read, each writing the ids it has
    // seen, they would hold the pacer's next character for seconds. One a
    // turn instead, and no more read while kInboxMost wait: the broker
    // keeps the rest.
    struct Incoming {
        QString topic;
        QByteArray payload;
        bool retained = false;
        mqtt::ReplyTo replyTo;
    };
    static constexpr int kInboxMost = 20;
    QList<Incoming> m_inbox;
    bool m_taking = false;
};
