// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/tls.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

namespace tls {

namespace {

constexpr int kProofMs = 10000;

// TLS 1.2 with forward secrecy and an AEAD cipher alone, as Mozilla's
// "intermediate" profile has it: the CBC suites that OpenSSL offers too
// are the ones padding oracles such as LUCKY13 feed on. Both kinds of
// certificate are named, and OpenSSL offers only those its key can sign
// for. TLS 1.3's suites are all AEAD, and stay as OpenSSL gives them.
constexpr auto kTls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                               "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                               "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

QByteArray readFile(const QString &path, const QString &what, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 %2: cannot be read: %3").arg(what, path, file.errorString());
        return {};
    }
    // A certificate with its chain, or a key, is a few kilobytes.
    const QByteArray bytes = file.read(1 << 20);
    if (bytes.isEmpty())
        *error = QStringLiteral("%1 %2: the file is empty").arg(what, path);
    return bytes;
}

}  // namespace

std::optional<QSslConfiguration> load(const QString &certificate, const QString &key, QString *error)
{
    if (!QSslSocket::supportsSsl()) {
        *error =
            QStringLiteral("this computer's Qt has no TLS backend (%1)").arg(QSslSocket::sslLibraryVersionString());
        return std::nullopt;
    }
    const QFileInfo keyInfo(key);
    if (keyInfo.exists() && keyInfo.permissions().testFlag(QFileDevice::ReadOther)) {
        *error = QStringLiteral("--tls-key %1: every user of this computer may read this key; let only its owner "
                                "(and a group, if one needs it) read it: chmod o-r %1")
                     .arg(key);
        return std::nullopt;
    }
    const QByteArray certificateBytes = readFile(certificate, QStringLiteral("--tls-cert"), error);
    if (certificateBytes.isEmpty())
        return std::nullopt;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateBytes, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = QStringLiteral("--tls-cert %1: no PEM certificate in it (\"-----BEGIN CERTIFICATE-----\")")
                     .arg(certificate);
        return std::nullopt;
    }
    const QByteArray keyBytes = readFile(key, QStringLiteral("--tls-key"), error);
    if (keyBytes.isEmpty())
        return std::nullopt;
    QSslKey privateKey;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        privateKey = QSslKey(keyBytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!privateKey.isNull())
            break;
    }
    if (privateKey.isNull()) {
        *error = QStringLiteral("--tls-key %1: no private key in it that can be read without a pass phrase (an RSA "
                                "or EC key in PEM)")
                     .arg(key);
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(privateKey);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setCiphers(QString::fromLatin1(kTls12Ciphers));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

Proof::Proof(const QSslConfiguration &configuration, QObject *parent) : QObject(parent), m_configuration(configuration)
{
}

void Proof::start()
{
    m_server = new QSslServer(this);
    m_server->setSslConfiguration(m_configuration);
    connect(m_server, &QSslServer::errorOccurred, this,
            [this](QSslSocket *socket, QAbstractSocket::SocketError) { finish(false, socket->errorString()); });
    connect(m_server, &QSslServer::handshakeInterruptedOnError, this,
            [this](QSslSocket *, const QSslError &error) { finish(false, error.errorString()); });
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] { finish(true, {}); });
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        finish(false, m_server->errorString());
        return;
    }
    m_client = new QSslSocket(this);
    // The client checks nothing of the certificate: only that the
    // server's side of a handshake can be done with this key.
    m_client->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(m_client, &QSslSocket::errorOccurred, this, [this] {
        // The server's side says why, where it can; the client's words
        // only where it does not.
        QTimer::singleShot(200, this, [this] { finish(false, m_client->errorString()); });
    });
    m_client->connectToHostEncrypted(QStringLiteral("localhost"), m_server->serverPort());
    QTimer::singleShot(kProofMs, this, [this] { finish(false, QStringLiteral("a handshake took too long")); });
}

void Proof::finish(bool ok, const QString &error)
{
    if (m_done)
        return;
    m_done = true;
    // Both ends go before anything else is served, from the event loop
    // rather than from within their own signals.
    QTimer::singleShot(0, this, [this, ok, error] {
        while (QTcpSocket *accepted = m_server->nextPendingConnection())
            accepted->abort();
        m_server->close();
        if (m_client)
            m_client->abort();
        emit done(ok, error);
    });
}

}  // namespace tls
