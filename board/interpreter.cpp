// SPDX-License-Identifier: GPL-3.0-or-later
#include "board/interpreter.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("BoardInterpreter", text); }

QString shown(char byte)
{
    if (byte == '\r')
        return QStringLiteral("CR");
    if (static_cast<unsigned char>(byte) < 0x20)
        return QStringLiteral("0x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\"%1\"").arg(QChar::fromLatin1(byte));
}

}  // namespace

void BoardInterpreter::startUpload()
{
    m_state = State::Digit;
    m_slot = 1;
    m_text.clear();
    m_received.clear();
    m_error.clear();
    m_last.reset();
    m_smallestGap.reset();
    m_lastGap.reset();
    m_tooFast = false;
}

void BoardInterpreter::fail(const QString &what)
{
    m_error = tr("record %1: %2").arg(m_slot).arg(what);
    m_state = State::Broken;
}

void BoardInterpreter::receive(char byte, Clock::time_point at)
{
    if ((m_state == State::Done || m_state == State::Broken) && byte == '1')
        startUpload();
    if (m_last) {
        const double gap = std::chrono::duration<double, std::milli>(at - *m_last).count();
        if (!m_smallestGap || gap < *m_smallestGap)
            m_smallestGap = gap;
        const double shortBy = kIntervalMs - gap;
        const bool madeUp =
            m_lastGap && shortBy <= kLateDeliveryMs && *m_lastGap + gap >= 2 * kIntervalMs - kDeliveryMs;
        if (shortBy > kDeliveryMs && !madeUp)
            m_tooFast = true;
        m_lastGap = gap;
    }
    m_last = at;
    m_received += QChar::fromLatin1(byte);

    const char digit = char('0' + m_slot);
    switch (m_state) {
    case State::Digit:
        if (byte == digit)
            m_state = State::DigitCR;
        else
            fail(tr("expected the slot digit \"%1\", got %2").arg(QChar::fromLatin1(digit)).arg(shown(byte)));
        break;
    case State::DigitCR:
        if (byte == '\r')
            m_state = m_slot < 9 ? State::Level : State::Text;
        else
            fail(tr("expected CR after the slot digit, got %1").arg(shown(byte)));
        break;
    case State::Level:
        if (byte == '0' || byte == '1') {
            m_level = byte == '1';
            m_state = State::LevelCR;
        } else {
            fail(tr("expected the level \"0\" or \"1\", got %1").arg(shown(byte)));
        }
        break;
    case State::LevelCR:
        if (byte == '\r')
            m_state = State::Text;
        else
            fail(tr("expected CR after the level, got %1").arg(shown(byte)));
        break;
    case State::Text:
        if (byte != '\r') {
            m_text += QChar::fromLatin1(byte);
            break;
        }
        if (!m_text.isEmpty())
            m_messages[size_t(m_slot)] = m_text;
        if (m_slot < 9)
            m_openLevel[size_t(m_slot)] = m_level;
        m_text.clear();
        m_state = m_slot < 9 ? State::Digit : State::End;
        ++m_slot;
        break;
    case State::End:
        if (byte == 'Q')
            m_state = State::Done;
        else
            fail(tr("expected the end mark \"Q\", got %1").arg(shown(byte)));
        break;
    case State::Done:
        fail(tr("a character after the end mark: %1").arg(shown(byte)));
        break;
    case State::Broken:
        break;
    }
}

int BoardInterpreter::shownSlot(const std::array<bool, 9> &inputOpen) const
{
    for (int input = 1; input <= 8; ++input) {
        if (inputOpen[size_t(input)] == m_openLevel[size_t(input)])
            return input;
    }
    return 9;
}
