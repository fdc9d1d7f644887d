// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mqtt/handler.h"
#include "mqtt/ledger.h"
#include "service/serveoptions.h"

#include <QDateTime>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
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

    static constexpr int kKeepAliveSeconds = 30;
    static constexpr const char *kResultsFile = "mqtt-results.json";

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
    void readable();
    void writable();
    void misc();
    // After each call into the library: follows its socket, and what it
    // wants to write.
    void settle();
    void lost();
    // Why a TLS connection failed, from what the library logged; empty
    // where it logged no trouble with TLS.
    QString tlsTrouble() const;
    void reconnectLater();

    void publish(const QString &topic, const QByteArray &payload, bool retained, const mqtt::ReplyTo &replyTo = {});
    void answer(const mqtt::Handler::Answer &answer);
    void publishState();
    void publishSets();
    void boardChanged(int change);
    void saveOutbox();

    Board &m_board;
    MqttOptions m_options;
    mqtt::Broker m_broker;
    mqtt::Topics m_topics;
    mqtt::Handler m_handler;
    mqtt::Outbox m_outbox;
    mosquitto *m_client = nullptr;
    QByteArray m_password;
    std::thread m_connecting;
    bool m_connectedOnce = false;
    QStringList m_libraryErrors;  // since the last connect
    int m_loopRc = 0;             // the library's last call on the socket
    bool m_lossSaid = false;      // the library has said why the connection ended
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_read, m_write;
    QTimer m_misc, m_retry, m_stateTimer;
    bool m_stateDirty = false;
    int m_failures = 0;  // connects in a row that did not last
    bool m_connected = false;
    QDateTime m_since;
    QString m_error, m_lastError;
    QStringList m_warnings;
    bool m_takenOver = false;
};
