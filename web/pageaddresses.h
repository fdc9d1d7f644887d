// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

// Where a person opens the board's page, for the addresses the server
// listens on and the ports it got: an address itself, or, for a wildcard,
// this computer's name with .local and each address of `machine` of that
// family but loopback and link-local ones, which a phone cannot reach.
QStringList pageAddresses(const QString &scheme, const QList<std::pair<QHostAddress, quint16>> &listening,
                          const QString &hostName, const QList<QHostAddress> &machine);
