// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/sessions.h"

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

// Enough of the log to reach back over both of its files.
constexpr int kEntries = 100000;

// From when a reset of `owner`'s password now reviews: this browser's own
// last sign-in to the account, where `browser` names a device id the log
// has for it, which no one without the browser can move; else the last
// time root's code set the password (the claim or a reset), which no one
// with only the password can move; invalid where the log has neither, and
// then everything counts.
QDateTime sinceForReset(const QList<QJsonObject> &log, const QString &owner, const QString &browser);
// From when the latest reset of `owner`'s password reviews, as the log
// recorded it; invalid for everything.
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
