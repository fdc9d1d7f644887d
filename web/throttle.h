// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>

// Slows the guessing of passwords without locking anyone out. From one
// address, the first few failures are free; after them each try waits,
// twice as long each time, up to a ceiling. All failures together are
// bounded as well, so that many addresses guess no faster than a few; the
// bound is set above what one throttled address can reach within its
// window, so that the owner, signing in from an address with no failures,
// is never kept waiting by one other address's guesses.
class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 5;
    static constexpr std::chrono::seconds kFirstWait{1};
    static constexpr std::chrono::seconds kLongestWait{15 * 60};
    static constexpr int kGlobalFailures = 60;  // within kGlobalWindow
    static constexpr std::chrono::seconds kGlobalWindow{10 * 60};

    // How long `address` must still wait before its next try counts: zero
    // when it may try now.
    std::chrono::seconds waitFor(const QString &address, Clock::time_point now);
    void failed(const QString &address, Clock::time_point now);
    void succeeded(const QString &address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point until{};
    };
    QHash<QString, Record> m_byAddress;
    std::deque<Clock::time_point> m_recent;  // every failure within the window
};
