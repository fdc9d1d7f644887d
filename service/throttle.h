// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>

// Slows the guessing of passwords, keys and codes without locking anyone
// out. From one address, the first few failures are free; after them each
// try waits, twice as long each time, up to a ceiling. One phone on a
// shop's network can take any number of addresses, so the wrong passwords
// of each account are bounded too, whatever their addresses: past the
// bound, only a browser that has signed in to that account before (see
// TrustedDevices) is let try, which no number of guessing addresses can
// stop. A name that is no account's is bounded by its address alone, as
// there is nothing to reach through it.
class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 5;
    static constexpr std::chrono::seconds kFirstWait{1};
    static constexpr std::chrono::seconds kLongestWait{15 * 60};
    static constexpr int kAccountFailures = 20;  // within kWindow, from untrusted browsers
    static constexpr std::chrono::seconds kWindow{10 * 60};
    // Addresses remembered at once: past this, those that wait no longer
    // are forgotten first, so that a flood of addresses cannot fill memory.
    static constexpr int kAddresses = 4096;

    // How long `address` must still wait before its next try counts: zero
    // when it may try now.
    std::chrono::seconds waitFor(const QString &address, Clock::time_point now);
    // How long a browser that never signed in to `account` must wait,
    // while the account is being guessed at: zero when it may try now.
    std::chrono::seconds heldBack(const QString &account, Clock::time_point now);
    // A wrong guess from `address`; at `account` where it is one (its name
    // as stored), and by a browser that is no trusted device of it.
    void failed(const QString &address, Clock::time_point now, const QString &account = {});
    void succeeded(const QString &address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point until{};
    };
    void forgetIdle(Clock::time_point now);
    QHash<QString, Record> m_byAddress;
    QHash<QString, std::deque<Clock::time_point>> m_byAccount;  // failures within the window
};
