// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// Writes text to standard output or standard error, then flushes it. Each
// platform has its own file: Unix writes the locale's encoding; Windows
// writes a console's own characters to a console, and UTF-8 to a file or a
// pipe.
void printText(std::FILE *stream, const QString &text);
// The arguments after the program's name, before any application that
// would read them exists. Windows takes them from the wide command line,
// which holds every file name; the narrow arguments hold only what the
// ANSI code page can spell.
QStringList programArguments(int argc, char *argv[]);
// Whether a window could be shown. Without this check the toolkit aborts
// with a trace that tells a user little.
bool hasDisplay();
