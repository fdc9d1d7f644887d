// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include <optional>

class QSslServer;
class QSslSocket;

// The server's certificate and key, for HTTPS.
namespace tls {

// Reads a PEM certificate (with its chain) and an unencrypted PEM key. A
// key that every user of the computer may read is refused: a group may,
// as Debian's ssl-cert group does. None, and why, naming the file, where
// either cannot be used.
std::optional<QSslConfiguration> load(const QString &certificate, const QString &key, QString *error);

// Whether the certificate and key work together, proven by a handshake
// with itself over the loopback address, as the event loop runs: a key
// that is not the certificate's is found here, before anything is served.
class Proof : public QObject {
    Q_OBJECT
public:
    explicit Proof(const QSslConfiguration &configuration, QObject *parent = nullptr);
    void start();

signals:
    void done(bool ok, const QString &error);

private:
    void finish(bool ok, const QString &error);

    QSslConfiguration m_configuration;
    QSslServer *m_server = nullptr;
    QSslSocket *m_client = nullptr;
    bool m_done = false;
};

}  // namespace tls
