// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

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
};

// The board's server's port where --listen gives none: its own, above the
// ports that need root and below the kernel's range for outgoing
// connections, and in no list of services.
inline constexpr quint16 kServePort = 8437;
