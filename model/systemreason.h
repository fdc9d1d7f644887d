// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The system's words for a failure, fit to stand inside a sentence of
// pelorin's: without the blanks and line end around them, and without the
// full stop that Windows ends them with ("Not ready.").
inline QString systemReason(const QString &words)
{
    QString reason = words.trimmed();
    if (reason.endsWith(u'.'))
        reason.chop(1);
    return reason;
}
