// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/console.h"

void printText(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
