// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// The board's service on an MQTT broker, where one is named.
struct MqttOptions {
    QString url;               // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty for no broker
    QString id;                // the board's name in its topics; empty for this computer's host name
    QString user;              // the broker's account, if it asks for one
    QString passwordFile;      // its password; empty for $CREDENTIALS_DIRECTORY/mqtt-password where systemd gives one
    QString ca;                // PEM authorities the broker's certificate is checked against; empty for the system's
    QString certificate, key;  // PEM: a client certificate, where the broker asks for one
    QStringList groups;        // groups whose sends this board takes too
    bool discovery = false;    // announce the board to Home Assistant
    QString discoveryPrefix = QStringLiteral("homeassistant");
};

// What the board's server is told where it starts: the command line fills
// it in, and nothing of the server reads a command line.
struct ServeOptions {
    QStringList listen;              // ADDRESS:PORT each; empty for the default port on every address
    QString device;                  // the board's port as --port gives it; empty for the owner's choice
    QStringList hostNames;           // names of this computer's beside its own
    QStringList trustedProxies;      // addresses whose X-Forwarded-* are believed
    QString state;                   // the state folder, where systemd gives none
    bool setupCode = false;          // only write a fresh setup code, and print it
    QString setupAccount;            // the account that code resets; empty for the owner's
    bool clockIsSet = false;         // trust the clock where no time service says it is synchronised
    QString tlsCertificate, tlsKey;  // PEM files: serve HTTPS
    QStringList redirectFrom;        // ADDRESS:PORT each: plain HTTP that only redirects to HTTPS
    MqttOptions mqtt;
};

// The board's server's port where --listen gives none: its own, above the
// ports that need root and below the kernel's range for outgoing
// connections, and in no list of services.
inline constexpr quint16 kServePort = 8437;
