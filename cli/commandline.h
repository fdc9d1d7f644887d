// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/serveoptions.h"

#include <QString>
#include <QStringList>

// pelorin [--virtual-board] [FILE]: with a file, the editor starts as usual
// and then loads it as Load would. pelorin --send FILE [--port PORT]
// [--quiet]: sends the file's set with no window. pelorin --list-ports
// [--porcelain]: the serial devices. pelorin --virtual-board-only: the
// stand-in board alone. pelorin --serve: the board's page, API and broker
// client. A mistake is told before any window opens.
struct CommandLine {
    enum Action { Run, Send, ListPorts, VirtualBoardOnly, Serve, Help, Version, Mistake };
    Action action = Run;
    QString file;  // Run: empty to start without one; Send: the file to send
    bool virtualBoard = false;
    QString port;  // Send: empty for the file's own port
    bool quiet = false;
    bool porcelain = false;  // ListPorts: for a script
    QString mistake;         // Mistake: what is wrong, where the usage alone does not say
    ServeOptions serve;      // Serve: the board's web page and API
};
// The arguments after the program's name.
CommandLine parseCommandLine(const QStringList &arguments);

inline constexpr const char *kUsage = "usage: pelorin [--virtual-board] [FILE.mes]\n"
                                      "       pelorin --send FILE.mes [--port PORT] [--quiet]\n"
                                      "       pelorin --list-ports [--porcelain]\n"
                                      "       pelorin --virtual-board-only\n";
// The whole help: the usage, every option a line or more, and the exit
// status.
QString helpText();
