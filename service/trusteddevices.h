// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <chrono>
#include <deque>

// Browsers that have signed in to an account before, told apart from
// strangers by a device cookie, after OWASP's "Slow Down Online Guessing
// Attacks with Device Cookies": a sign-in leaves a cookie signed by the
// server, naming the account; a browser that carries it for that account
// is judged apart from the account's lock, by its own failures, and loses
// the exemption for a while after a few wrong passwords of its own. An
// address is no such proof: a shop's phones share one network prefix, and
// one phone can take any number of addresses.
class TrustedDevices {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char *kCookie = "pelorin_device";
    static constexpr std::chrono::hours kLifetime{365 * 24};  // as the cookie's Max-Age
    static constexpr int kFailures = 5;                       // its own, within kWindow
    static constexpr std::chrono::seconds kWindow{10 * 60};

    // The key the cookies are signed with: 256 random bits, which the
    // state folder keeps; a new key makes every device a stranger again.
    explicit TrustedDevices(const QByteArray &key = {}) : m_key(key) {}
    void setKey(const QByteArray &key) { m_key = key; }

    // A fresh cookie value for a browser that has just signed in to
    // `account`.
    QByteArray issue(const QString &account) const;
    // Whether `cookie` was issued for `account` (any case) and has not
    // lost its exemption.
    bool trusted(const QByteArray &cookie, const QString &account, Clock::time_point now);
    // A wrong password from a browser carrying `cookie`.
    void failed(const QByteArray &cookie, Clock::time_point now);

private:
    QByteArray signatureOf(const QByteArray &payload) const;
    QByteArray m_key;
    QHash<QByteArray, std::deque<Clock::time_point>> m_failures;  // by cookie
};
