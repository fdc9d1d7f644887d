// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <array>
#include <chrono>
#include <optional>

// What the board does with the stream that programs it: nine slot records,
// "digit CR level CR text CR" for slots 1 to 8 and "9 CR text CR" for the
// idle message, then the end mark "Q". A record takes effect when its
// closing CR arrives; an empty text leaves the stored message as it was.
// After the end mark, or after a record that breaks the protocol, a "1"
// begins a new upload. This is what pelorin knows of the board, no more.
class BoardInterpreter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kIntervalMs = 500;
    // The pseudo-terminal hands bytes over a few milliseconds late now and
    // then, which shortens the gap after; so much is not held against the
    // sender.
    static constexpr double kDeliveryMs = 3.0;
    // On a busy machine a byte may come later still. It then lengthens the
    // gap before it as much as it shortens the gap after, so the two still
    // span two intervals; a short gap that the one before makes up so is
    // not held against the sender either, up to this much.
    static constexpr double kLateDeliveryMs = 15.0;

    // One byte as it arrived, and when.
    void receive(char byte, Clock::time_point at);

    // Slots 1..9 and inputs 1..8; both start empty and at level 0.
    const std::array<QString, 10> &messages() const { return m_messages; }
    const std::array<bool, 9> &openLevels() const { return m_openLevel; }

    // The message the board shows with its inputs at these levels (true:
    // open): the lowest-numbered input at its message's level, or the idle
    // message when none is. Which one the real board shows when several
    // inputs are active is not known; the lowest is an assumption.
    int shownSlot(const std::array<bool, 9> &inputOpen) const;

    // Of the current upload: its characters so far, the smallest gap
    // between two of them, whether one came sooner than the board's half
    // second after the one before (beyond the delivery's own jitter), the
    // first record that broke the
    // protocol, and whether the end mark arrived.
    QString received() const { return m_received; }
    std::optional<double> smallestGapMs() const { return m_smallestGap; }
    bool tooFast() const { return m_tooFast; }
    QString protocolError() const { return m_error; }
    bool complete() const { return m_state == State::Done; }

private:
    enum class State { Digit, DigitCR, Level, LevelCR, Text, End, Done, Broken };
    void fail(const QString &what);
    void startUpload();

    std::array<QString, 10> m_messages{};
    std::array<bool, 9> m_openLevel{};
    State m_state = State::Digit;
    int m_slot = 1;
    bool m_level = false;
    QString m_text;
    QString m_received;
    QString m_error;
    std::optional<Clock::time_point> m_last;
    std::optional<double> m_smallestGap;
    std::optional<double> m_lastGap;
    bool m_tooFast = false;
};
