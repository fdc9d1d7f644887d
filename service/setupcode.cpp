// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/setupcode.h"

#include <QRandomGenerator>

#include <sodium.h>

namespace {

// Crockford's base 32: no I, L, O or U.
constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr int kCharacters = 12;  // 60 bits
constexpr int kGroup = 4;

}  // namespace

SetupCode SetupCode::make(Clock::time_point now)
{
    QString text;
    for (int i = 0; i < kCharacters; ++i) {
        if (i > 0 && i % kGroup == 0)
            text += QLatin1Char('-');
        text += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(32)]);
    }
    return SetupCode(text, now);
}

QString SetupCode::normalized(const QString &typed)
{
    QString plain;
    for (QChar c : typed.toUpper()) {
        if (c == QLatin1Char('-') || c.isSpace())
            continue;
        if (c == QLatin1Char('O'))
            c = QLatin1Char('0');
        else if (c == QLatin1Char('I') || c == QLatin1Char('L'))
            c = QLatin1Char('1');
        plain += c;
    }
    QString grouped;
    for (qsizetype i = 0; i < plain.size(); ++i) {
        if (i > 0 && i % kGroup == 0)
            grouped += QLatin1Char('-');
        grouped += plain[i];
    }
    return grouped;
}

bool SetupCode::matches(const QString &typed) const
{
    const QByteArray a = normalized(typed).toUtf8(), b = m_text.toUtf8();
    return !m_text.isEmpty() && a.size() == b.size()
           && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}
