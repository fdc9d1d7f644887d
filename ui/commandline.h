// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// pelorin [FILE]: with a file, the editor starts as usual and then loads it
// as Load would. Anything else is a mistake, told before any window opens.
struct CommandLine {
    bool understood = true;
    QString file;  // empty: start without one
};
// The arguments after the program's name.
CommandLine parseCommandLine(const QStringList &arguments);

inline constexpr const char *kUsage = "usage: pelorin [FILE.mes]";
