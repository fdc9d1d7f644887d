// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

void SendCommand::endAs(int signal)
{
    // The default action, so that the shell sees the signal (status 129,
    // 130, 131 or 143) and a loop around the command stops too. SIGQUIT's
    // would leave a core dump of a program that did nothing wrong.
    if (signal == SIGQUIT) {
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
    }
    std::signal(signal, SIG_DFL);
    ::raise(signal);
    ::_exit(128 + signal);
}

bool SendCommand::errorsGoToTerminal() { return ::isatty(STDERR_FILENO) == 1; }

QString SendCommand::deviceExample() { return QStringLiteral("/dev/ttyUSB0"); }
