// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QHostAddress;

// The host of a Host header ("board.local:8080", "[fe80::1]:8080",
// "10.0.0.5"), lower case, without its port, brackets or a trailing dot;
// empty when the header is no host at all.
QString hostOf(const QByteArray &hostHeader);

// Whether a request for `hostHeader` is for this computer: the address the
// connection came in on, or one of its own names (its host name, that name
// with .local, localhost, and each name the owner added). Any other name
// may be a stranger's, pointed at this computer by DNS rebinding.
bool isOwnHost(const QByteArray &hostHeader, const QHostAddress &localAddress, const QStringList &ownNames);

// Where a request says it comes from, against the Host it asks for.
enum class Origin {
    Absent,   // neither Origin nor Referer: a script, or a browser that sends neither
    Same,     // the page this server served
    Foreign,  // another site, another port, another scheme, or "null"
};
// Judged by Origin, or, where a browser sent none, by Referer; `scheme` is
// the scheme the request came in by ("http" or "https").
Origin judgeOrigin(const QByteArray &origin, const QByteArray &referer, const QByteArray &hostHeader,
                   const QString &scheme);
