// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// pelorin [--virtual-board] [FILE]: with a file, the editor starts as usual
// and then loads it as Load would. A mistake is told before any window
// opens.
struct CommandLine {
    enum Action { Run, Help, Version, Mistake };
    Action action = Run;
    QString file;  // empty: start without one
    bool virtualBoard = false;
};
// The arguments after the program's name.
CommandLine parseCommandLine(const QStringList &arguments);

inline constexpr const char *kUsage = "usage: pelorin [--virtual-board] [FILE.mes]";
inline constexpr const char *kHelp = "usage: pelorin [--virtual-board] [FILE.mes]\n"
                                     "Edits the nine messages of a Tavro message board and uploads them over a\n"
                                     "serial port. With FILE.mes, loads that message file once the window is up.\n"
                                     "\n"
                                     "Options:\n"
                                     "  --virtual-board  make port 1 a stand-in for the board, shown in a window\n"
                                     "                   of its own, and offer no other port\n"
                                     "  -h, --help       show this help and exit\n"
                                     "  -v, --version    show the version and exit\n";
