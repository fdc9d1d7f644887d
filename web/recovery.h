// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/sessions.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// After the owner's password is reset with a setup code, whoever knew the
// old one may have left accounts, keys and signed-in devices behind. These
// find them: everything added since the owner's last sign-in before the
// reset that still stands.
namespace recovery {

// When the owner last signed in (or claimed the computer) before the
// latest reset of the owner's password, as the log tells; invalid where
// the log tells none, and then everything counts.
QDateTime since(const QList<QJsonObject> &log, const QString &owner);

struct Found {
    QStringList accounts;                  // staff accounts added since
    QStringList keys;                      // keys made since
    QList<SessionStore::Session> devices;  // sessions opened since
    QList<QJsonObject> entries;            // the log's lines of them, with when and from where
};
// What was added since `since` and is still there: `accounts` and `keys`
// are the names that exist now.
Found find(const QList<QJsonObject> &log, const QDateTime &since, const QStringList &accounts, const QStringList &keys,
           const QList<SessionStore::Session> &sessions);

}  // namespace recovery
