// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/messageset.h"

void giveStartValues(MessageSet &set)
{
    for (int i = 1; i <= MessageSet::kSlots; ++i) {
        set.slotDigit[i] = QString::number(i);
        set.messageText[i] = QStringLiteral("message ") + QString::number(i);
        set.triggerOnOpen[i] = false;
    }
}

QString typedText(const QString &text)
{
    if (text.size() <= MessageSet::kMaxTyped)
        return text;
    const bool splitsAPair = text[MessageSet::kMaxTyped - 1].isHighSurrogate();
    return text.left(splitsAPair ? MessageSet::kMaxTyped - 1 : MessageSet::kMaxTyped);
}

int portNumber(const QString &portText)
{
    const bool oneDigit = portText.size() == 1 && portText[0] >= u'1' && portText[0] <= u'4';
    return oneDigit ? portText[0].unicode() - u'0' : 0;
}
