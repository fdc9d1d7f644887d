// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include <csignal>
#include <cstdio>
#include <io.h>
#include <windows.h>

void SendCommand::endAs(int signal)
{
    std::fflush(stderr);
    // Windows has no signal status; 128 + the signal's number is what a
    // shell would report for it.
    ::ExitProcess(UINT(128 + signal));
}

bool SendCommand::errorsGoToTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

QString SendCommand::deviceExample() { return QStringLiteral("COM7"); }
