// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <array>
#include <cstdint>

// The editor's one record of what goes to the board. Arrays have eleven
// entries and are used from index 1: slots 1..9 (9 is the idle message) and
// inputs 1..8. Entries 0 and 10 are never touched.
struct MessageSet {
    static constexpr int kSlots = 9;
    static constexpr int kInputs = 8;
    static constexpr int kIdleSlot = 9;
    // A message as typed holds at most this many characters.
    static constexpr int kMaxTyped = 16;

    QString uploadStream;
    std::int16_t uploadPos = 0;
    std::array<QString, 11> levelText{};
    std::array<QString, 11> messageText{};
    std::array<QString, 11> slotDigit{};
    QString portText;
    std::array<bool, 11> triggerOnOpen{};
};

// The values start-up gives slots 1..9: the slot's digit, the text
// "message <digit>" and the grounded level.
void giveStartValues(MessageSet &set);

// The port a port text names, 1 to 4 as the window offers them, or 0 for
// any other text ("", "7", "01").
int portNumber(const QString &portText);

// A message as its 16-character box holds it: a longer text is cut to 16
// characters, or to 15 where the 16th would be the first half of a
// character beyond the BMP, which the box would otherwise split.
QString typedText(const QString &text);
