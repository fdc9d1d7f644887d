// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

class StateFolder;

// The devices signed in to the board's server. A device's cookie holds only
// a random 256-bit identifier; the store keeps its hash, so that a copy of
// the state folder signs no one in. Wall-clock times, as sessions outlive a
// restart of the server.
class SessionStore {
public:
    using Clock = std::chrono::system_clock;
    static constexpr std::chrono::minutes kIdle{30};
    static constexpr std::chrono::hours kAbsolute{12};
    // "Keep me signed in on this device": both limits.
    static constexpr std::chrono::hours kKept{30 * 24};
    // Devices signed in to one account at once: past it, a sign-in ends
    // the account's session seen longest ago, so that an account signing
    // in over and over grows neither the file nor the owner's list of
    // devices without end, and touches no other account's.
    static constexpr int kPerAccount = 32;

    struct Session {
        QByteArray idHash;  // hex SHA-256 of the identifier
        QString account;
        QString device;   // what the browser calls itself, for the owner's list
        QString address;  // where it signed in from
        bool kept = false;
        Clock::time_point created;
        Clock::time_point lastSeen;
    };

    // A new session, and the cookie value that names it; a fresh identifier
    // at every sign-in. Sessions whose time is up go with it, so that the
    // file written next holds none, and the account's seen longest ago
    // where it would have more than kPerAccount.
    QByteArray open(const QString &account, bool kept, const QString &device, const QString &address,
                    Clock::time_point now);
    // The live session that `cookie` names, seen now; null when it names
    // none or its time is up (and then it is gone).
    const Session *find(const QByteArray &cookie, Clock::time_point now);
    void close(const QByteArray &cookie);
    // After a password change: every session of the account but `keep`'s.
    void closeAccount(const QString &account, const QByteArray &keep = {});
    void closeByHash(const QByteArray &idHash);
    // The live sessions; those whose time is up are gone.
    QList<Session> sessions(Clock::time_point now);

    // The token that a signed-in page sends with every change: derived from
    // the cookie, so that nothing more is stored, and no other site can
    // read or make it.
    static QByteArray csrfToken(const QByteArray &cookie);
    // Whether `token` is `cookie`'s, compared in constant time.
    static bool csrfMatches(const QByteArray &cookie, const QByteArray &token);

    // The store as the state folder keeps it, and back: none, and why,
    // where it is no list of sessions as this server writes them. One
    // record that cannot be read (a field missing or of another type)
    // makes the whole file none, never half-read: a file that holds what
    // this server did not write is trusted to sign no one in, and losing
    // it only asks everyone to sign in again. A session whose time is up
    // is dropped.
    QByteArray toJson() const;
    static std::optional<SessionStore> fromJson(const QByteArray &json, Clock::time_point now, QString *why);
    // The sessions kept in the state folder's `name`: none where there is
    // no file, nor where it cannot be read, which the folder then moves
    // aside and says.
    static SessionStore load(StateFolder &state, const QString &name, Clock::time_point now);

private:
    static QByteArray hashOf(const QByteArray &cookie);
    bool expired(const Session &session, Clock::time_point now) const;
    void dropExpired(Clock::time_point now);

    QHash<QByteArray, Session> m_sessions;  // by idHash
};
