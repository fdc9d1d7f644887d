// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler may only write: the signal's number goes down a pipe, and
// the event loop reads it at the other end.
int g_stopPipe[2] = {-1, -1};

void onStopSignal(int signal)
{
    // The call that the signal broke into may still read errno.
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &number, 1);
    errno = saved;
}

}  // namespace

void watchStopSignals(QObject *owner, std::function<void(int)> stop)
{
    if (g_stopPipe[0] >= 0 || ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default action: they still stop the program
    auto *notifier = new QSocketNotifier(qintptr(g_stopPipe[0]), QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [stop = std::move(stop)] {
        unsigned char number = 0;
        if (::read(g_stopPipe[0], &number, 1) == 1)
            stop(number);
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    // Calls under way go on; the program stops at the next turn of the loop.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // A terminal that goes away (an SSH session dropped) hangs the process
    // up, and Ctrl-\\ quits it: both stop as SIGTERM does.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        // A signal ignored from the start stays so, as the shell ignores
        // Ctrl-C for a job that it runs in the background, and nohup a
        // hang-up.
        struct sigaction inherited {};
        if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}
