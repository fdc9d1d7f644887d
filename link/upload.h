// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QString>

// The board's programming protocol, and the pacing of it: one character of
// the stream per tick of the upload timer.
namespace upload {

// uploadPos is a 16-bit counter that ends one past the stream, so the
// longest stream that can be sent whole has 32766 characters.
constexpr int kMaxStreamLength = 32766;
constexpr int kTickMs = 500;
// What the board listens at: speed, parity, data bits, stop bits.
inline constexpr const char *kLineSettings = "2400,N,8,1";
constexpr QChar kCR{u'\r'};
constexpr QChar kEndMark{u'Q'};

// Nine slot records and the end mark: digit CR [level CR] text CR ... Q.
// The idle slot, whose digit is "9", carries no level.
QString buildStream(const MessageSet &set);

// Builds the stream into the set and puts uploadPos on its first character.
// A stream too long to count through is refused, and the set left as it
// was; the result is then the length it would have had.
struct Begun {
    bool ok;
    qsizetype length;
};
Begun begin(MessageSet &set);

// The byte that carries one character of the stream. Every character is one
// byte on the wire; what Latin-1 cannot hold leaves as "?".
char wireByte(QChar c);

// The byte for the character at uploadPos; only valid while
// 1 <= uploadPos <= uploadStream.size().
char nextByte(const MessageSet &set);

// Moves uploadPos past the character just sent. True once the whole stream
// is out.
bool advance(MessageSet &set);

// How far an upload is, for the user: characters sent of all, and the time
// the rest takes at one character per interval.
struct Progress {
    int sent = 0;
    int total = 0;
    qint64 msLeft = 0;
    double fraction() const { return total > 0 ? double(sent) / double(total) : 0.0; }
};
Progress progress(const MessageSet &set, int intervalMs);
// The time left, rounded up to the second: a last character still to go
// is never "0 s".
qint64 secondsLeft(const Progress &p);
// "37 of 188 characters, 1:16 left"; the time is rounded up to the second.
QString describe(const Progress &p);

}  // namespace upload
