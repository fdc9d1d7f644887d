// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/recovery.h"

#include <chrono>

namespace recovery {

namespace {

QDateTime timeOf(const QJsonObject &entry)
{
    return QDateTime::fromString(entry.value(QLatin1String("time")).toString(), Qt::ISODate);
}

QString event(const QJsonObject &entry) { return entry.value(QLatin1String("event")).toString(); }

bool containsName(const QStringList &names, const QString &name) { return names.contains(name, Qt::CaseInsensitive); }

}  // namespace

QDateTime since(const QList<QJsonObject> &log, const QString &owner)
{
    qsizetype reset = -1;
    for (qsizetype i = log.size() - 1; i >= 0; --i) {
        if (event(log[i]) == QLatin1String("password reset with a setup code")
            && log[i].value(QLatin1String("account")).toString().compare(owner, Qt::CaseInsensitive) == 0) {
            reset = i;
            break;
        }
    }
    for (qsizetype i = reset - 1; i >= 0; --i) {
        const QString what = event(log[i]);
        if ((what == QLatin1String("signed in") || what == QLatin1String("owner created"))
            && log[i].value(QLatin1String("account")).toString().compare(owner, Qt::CaseInsensitive) == 0)
            return timeOf(log[i]);
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
        if (what == QLatin1String("account added") && containsName(accounts, detail)
            && !containsName(found.accounts, detail)) {
            found.accounts << detail;
            found.entries << entry;
        } else if (what == QLatin1String("key made")) {
            // "NAME (scope)"
            const QString name = detail.section(QLatin1Char(' '), 0, 0);
            if (containsName(keys, name) && !containsName(found.keys, name)) {
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
