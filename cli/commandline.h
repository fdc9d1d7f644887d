// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/serveoptions.h"

#include <QString>
#include <QStringList>

// pelorin [--virtual-board] [FILE]: with a file, the editor starts as usual
// and then loads it as Load would. pelorin --send FILE [--port PORT]
// [--quiet]: sends the file's set with no window. pelorin --list-ports
// [--porcelain]: the serial devices. pelorin --virtual-board-only: the
// stand-in board alone. A mistake is told before
// any window opens.
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
inline constexpr const char *kHelp = "usage: pelorin [--virtual-board] [FILE.mes]\n"
                                     "       pelorin --send FILE.mes [--port PORT] [--quiet]\n"
                                     "       pelorin --list-ports [--porcelain]\n"
                                     "       pelorin --virtual-board-only\n"
                                     "       pelorin --serve [--listen ADDRESS:PORT]... [--port PORT] [--state DIR]\n"
                                     "                       [--host-name NAME]... [--trusted-proxy ADDRESS]...\n"
                                     "                       [--clock-is-set]\n"
                                     "                       [--tls-cert FILE --tls-key FILE\n"
                                     "                        [--redirect-from ADDRESS:PORT]...]\n"
                                     "       pelorin --serve --setup-code [--account NAME] [--state DIR]\n"
                                     "Edits the nine messages of a Tavro message board and uploads them over a\n"
                                     "serial port. With FILE.mes, loads that message file once the window is up.\n"
                                     "With --send, sends the set in FILE.mes with no window and no display, and\n"
                                     "ends once the last character has left the computer. With --serve, serves\n"
                                     "the board's own web page and API (Linux only).\n"
                                     "\n"
                                     "Options:\n"
                                     "  --virtual-board       make port 1 a stand-in for the board, shown in a\n"
                                     "                        window of its own, and offer no other port\n"
                                     "  --virtual-board-only  show only the stand-in board, and print its device,\n"
                                     "                        which --send --port reaches from another shell;\n"
                                     "                        with no display, print what arrives instead\n"
                                     "  --send FILE.mes       send the set in FILE.mes at 2400 baud 8N1, one\n"
                                     "                        character every half second, and exit\n"
                                     "  --port PORT           with --send: a port from 1 to 4, as in the window,\n"
                                     "                        or a device (/dev/ttyUSB0, a stable name under\n"
                                     "                        /dev/serial/by-id/, COM7); without it, the port\n"
                                     "                        that the file names\n"
                                     "  --quiet               with --send: print only errors\n"
                                     "  --list-ports          list ports 1 to 4 and every other serial device:\n"
                                     "                        its device, stable name, whether this user may\n"
                                     "                        use it, and what it is\n"
                                     "  --porcelain           with --list-ports: a device a line, for scripts:\n"
                                     "                        port, device, stable name, state and description\n"
                                     "                        between tabs, \"-\" for an empty field\n"
                                     "  --serve               serve the board's page, on port 8437 of every\n"
                                     "                        address; --port then names the board's device\n"
                                     "  --listen ADDRESS:PORT with --serve: listen there instead (again for\n"
                                     "                        more addresses)\n"
                                     "  --state DIR           with --serve: keep sets, accounts and the log\n"
                                     "                        there ($STATE_DIRECTORY, else\n"
                                     "                        $XDG_STATE_HOME/pelorin)\n"
                                     "  --host-name NAME      with --serve: answer to this name too\n"
                                     "  --trusted-proxy ADDRESS  with --serve: believe this proxy's\n"
                                     "                        X-Forwarded-For and X-Forwarded-Proto\n"
                                     "  --clock-is-set        with --serve: send scheduled sets by the clock\n"
                                     "                        as it is, where no time service on this\n"
                                     "                        computer says it is synchronised (a container,\n"
                                     "                        a computer with a battery clock)\n"
                                     "  --tls-cert FILE       with --serve and --tls-key: serve HTTPS with\n"
                                     "                        this PEM certificate (and its chain)\n"
                                     "  --tls-key FILE        its PEM private key, which other users of the\n"
                                     "                        computer may not read\n"
                                     "  --redirect-from ADDRESS:PORT  with --tls-cert: plain HTTP there that\n"
                                     "                        only sends browsers to HTTPS\n"
                                     "  --setup-code          with --serve: print a fresh setup code for a\n"
                                     "                        forgotten owner's password, and exit\n"
                                     "  --account NAME        with --setup-code: the code resets this account's\n"
                                     "                        password instead of the owner's\n"
                                     "  -h, --help            show this help and exit\n"
                                     "  -v, --version         show the version and exit\n"
                                     "\n"
                                     "Exit status:\n"
                                     "  0    sent: the last character has left the computer\n"
                                     "  1    not sent, and trying again will not help: the file was refused or\n"
                                     "       names no port, or this user may not open the port\n"
                                     "  2    a usage error\n"
                                     "  75   not sent whole, and trying again may help: the port is absent or\n"
                                     "       in use, a write failed, or the device did not take the last\n"
                                     "       characters in time\n"
                                     "  130  interrupted by Ctrl-C (SIGINT); 143, stopped by SIGTERM\n";
