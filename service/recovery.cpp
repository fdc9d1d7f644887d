// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/recovery.h"

#include <chrono>

namespace recovery {

namespace {

QDateTime timeOf(const QJsonObject &entry)
{
    return QDateTime::fromString(entry.value(QLatin1String("time")).toString(), Qt::ISODate);
}

QString event(const QJsonObject &entry) { return entry.value(QLatin1String("event")).toString(); }

bool byOwner(const QJsonObject &entry, const QString &owner)
{
    return entry.value(QLatin1String("account")).toString().compare(owner, Qt::CaseInsensitive) == 0;
}

}  // namespace

QDateTime sinceForReset(const QList<QJsonObject> &log, const QString &owner, const QString &browser)
{
    const QString device = QStringLiteral("device ") + browser;
    for (qsizetype i = log.size() - 1; !browser.isEmpty() && i >= 0; --i) {
        if (byOwner(log[i], owner) && log[i].value(QLatin1String("detail")).toString().contains(device))
            return timeOf(log[i]);
    }
    for (qsizetype i = log.size() - 1; i >= 0; --i) {
        const QString what = event(log[i]);
        if (byOwner(log[i], owner)
            && (what == QLatin1String("owner created") || what == QLatin1String("password reset with a setup code")))
            return timeOf(log[i]);
    }
    return {};
}

QDateTime since(const QList<QJsonObject> &log, const QString &owner)
{
    for (qsizetype i = log.size() - 1; i >= 0; --i) {
        if (byOwner(log[i], owner) && event(log[i]) == QLatin1String("password reset with a setup code")) {
            const QString detail = log[i].value(QLatin1String("detail")).toString();
            const qsizetype at = detail.indexOf(QLatin1String("review since "));
            return at < 0 ? QDateTime() : QDateTime::fromString(detail.mid(at + 13), Qt::ISODate);
        }
    }
    return {};
}

Found find(const QList<QJsonObject> &log, const QDateTime &since, const QStringList &accounts, const QStringList &keys,
           const QList<SessionStore::Session> &sessions)
{
    Found found;
    for (const QJsonObject &entry : log) {
        if (since.isValid() && timeOf(entry) < since)
            continue;
        const QString what = event(entry);
        const QString detail = entry.value(QLatin1String("detail")).toString();
        // Account names are one whatever their case; keys' are not.
        if ((what == QLatin1String("account added") || what == QLatin1String("password set by the owner"))
            && accounts.contains(detail, Qt::CaseInsensitive)) {
            if (!found.accounts.contains(detail, Qt::CaseInsensitive))
                found.accounts << detail;
            found.entries << entry;
        } else if (what == QLatin1String("key made")) {
            // "NAME (scope)"
            const QString name = detail.section(QLatin1Char(' '), 0, 0);
            if (keys.contains(name) && !found.keys.contains(name)) {
                found.keys << name;
                found.entries << entry;
            }
        }
    }
    const auto sinceTime = SessionStore::Clock::time_point{std::chrono::milliseconds(since.toMSecsSinceEpoch())};
    for (const SessionStore::Session &session : sessions) {
        if (!since.isValid() || session.created >= sinceTime)
            found.devices << session;
    }
    return found;
}

}  // namespace recovery
