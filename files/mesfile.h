// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QString>

#include <array>
#include <optional>
#include <variant>

class QIODevice;

// Message set files (".mes"): 18 lines, each ending CR LF.
//   1..9    "x" followed by message 1..9 (9 is the idle message)
//   10..17  the level of input 1..8: 1 open, 0 grounded
//   18      the port text
namespace mesfile {

constexpr int kLines = 18;
// Longer lines are refused, so that no file is ever read whole.
constexpr qint64 kMaxLineBytes = 64 * 1024;

// The set's 18 lines as they go into a file.
QByteArray encode(const MessageSet &set);

// Writes the set's 18 lines. False if the device took less than all.
bool write(QIODevice &device, const MessageSet &set);

// What a file holds, read and checked in full before anyone uses it.
struct Contents {
    std::array<QString, 10> messageText{};  // 1..9
    std::array<QString, 9> levelText{};     // 1..8, as read
    std::array<bool, 9> triggerOnOpen{};    // 1..8
    QString portText;
};

struct Error {
    int line;  // 1-based; 0 for a fault of the whole file
    QString what;
};

// Each item is its whole line; CR LF and LF both end a line, and anything
// after line 18 is ignored. Text that is not valid UTF-8 is read as
// Latin-1, as older editors wrote it.
std::variant<Contents, Error> read(QIODevice &device);

// Opens and reads the message file at path, as Load does.
std::variant<Contents, Error> load(const QString &path);
// Why the file at path was refused, in the user's words: "Could not load
// NAME: line N: what."
QString describe(const QString &path, const Error &error);
// Puts what a file holds into the set, as Load leaves it: each message as
// its box holds it, the levels, and the port text as read, whatever it is.
void apply(const Contents &contents, MessageSet &set);

// Level lines: an optionally signed decimal integer with blanks around it.
// Empty if the text is not such a number; otherwise whether it is 1.
std::optional<bool> parseLevel(const QString &text);

// Writes the set to the file at path in one piece: whatever fails, an
// existing file is left as it was and no partial file is left in its place.
// Returns the reason on failure, an empty text on success.
QString save(const QString &path, const MessageSet &set);

}  // namespace mesfile
