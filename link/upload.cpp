// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/upload.h"

#include <algorithm>

namespace upload {

QString buildStream(const MessageSet &set)
{
    QString stream;
    for (int i = 1; i <= MessageSet::kSlots; ++i) {
        stream += set.slotDigit[i];
        stream += kCR;
        if (set.slotDigit[i] != QLatin1String("9")) {
            stream += set.triggerOnOpen[i] ? u'1' : u'0';
            stream += kCR;
        }
        stream += set.messageText[i];
        stream += kCR;
    }
    stream += kEndMark;
    return stream;
}

Begun begin(MessageSet &set)
{
    QString stream = buildStream(set);
    const qsizetype length = stream.size();
    if (length > kMaxStreamLength)
        return {false, length};
    set.uploadStream = std::move(stream);
    set.uploadPos = 1;
    return {true, length};
}

char wireByte(QChar c) { return c.unicode() <= 0xFF ? static_cast<char>(c.unicode()) : '?'; }

char nextByte(const MessageSet &set) { return wireByte(set.uploadStream.at(set.uploadPos - 1)); }

bool advance(MessageSet &set)
{
    set.uploadPos = static_cast<std::int16_t>(set.uploadPos + 1);
    return set.uploadPos == set.uploadStream.size() + 1;
}

Progress progress(const MessageSet &set, int intervalMs)
{
    Progress p;
    p.total = int(set.uploadStream.size());
    p.sent = std::clamp(int(set.uploadPos) - 1, 0, p.total);
    p.msLeft = qint64(p.total - p.sent) * intervalMs;
    return p;
}

qint64 secondsLeft(const Progress &p) { return (p.msLeft + 999) / 1000; }

QString describe(const Progress &p)
{
    const qint64 seconds = secondsLeft(p);
    return QStringLiteral("%1 of %2 characters, %3:%4 left")
        .arg(p.sent)
        .arg(p.total)
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace upload
