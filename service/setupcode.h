// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// The one-time code that claims the computer: printed where only someone
// at the computer (or root over SSH) reads it, and good for 30 minutes.
// 60 bits from the system's random source, in three groups of four
// characters that cannot be mistaken for one another ("K7QM-3XWD-9HRT").
class SetupCode {
public:
    using Clock = std::chrono::system_clock;
    static constexpr std::chrono::minutes kLifetime{30};

    // A new code, made now.
    static SetupCode make(Clock::time_point now);
    // A code read back from the state folder: its text and when it was made.
    SetupCode(const QString &text, Clock::time_point made) : m_text(text), m_made(made) {}

    QString text() const { return m_text; }
    Clock::time_point made() const { return m_made; }
    bool expired(Clock::time_point now) const { return now < m_made || now - m_made >= kLifetime; }
    // Whether a person typed this code: any case, with or without the
    // dashes or spaces, O for 0 and I or L for 1; compared in constant time.
    bool matches(const QString &typed) const;

    // The characters, in groups, as written.
    static QString normalized(const QString &typed);

private:
    QString m_text;
    Clock::time_point m_made;
};
