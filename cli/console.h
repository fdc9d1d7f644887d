// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <cstdio>

// Writes text to standard output or standard error, then flushes it. Each
// platform has its own file: Unix writes the locale's encoding; Windows
// writes a console's own characters to a console, and UTF-8 to a file or a
// pipe.
void printText(std::FILE *stream, const QString &text);
