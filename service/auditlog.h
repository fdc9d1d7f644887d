// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>

// Who did what, from where: each sign-in (as it went), set saved or
// deleted, send and account change, a JSON line each, in the state
// folder. Bounded: past a megabyte the log becomes log.1, replacing the
// one before, so that failed sign-ins cannot fill a card. A password, a
// code or a cookie is never handed to it.
class AuditLog {
public:
    using Clock = std::chrono::system_clock;
    static constexpr qint64 kFileBytes = 1 << 20;
    static constexpr int kDetailLength = 200;

    explicit AuditLog(const QString &folder) : m_folder(folder) {}
    bool record(Clock::time_point at, const QString &account, const QString &address, const QString &event,
                const QString &detail = {});
    // The newest `most` entries, oldest first.
    QList<QJsonObject> entries(int most) const;

private:
    QString m_folder;
};
