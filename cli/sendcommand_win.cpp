// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include <QWinEventNotifier>

#include <csignal>
#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {

// Console control events come on a thread of the system's, while the event
// loop's thread may be destroying the objects a stop would reach; so the
// handler only sets an event of the system's, which the loop waits on.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    ::SetEvent(g_stopEvent);
    return TRUE;
}

}  // namespace

void SendCommand::watchForStop(std::function<void(int)> stop)
{
    g_stopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!g_stopEvent)
        return;  // Ctrl-C keeps its default action: it still stops the upload
    auto *notifier = new QWinEventNotifier(g_stopEvent, this);
    connect(notifier, &QWinEventNotifier::activated, this, [stop = std::move(stop)] { stop(SIGINT); });
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void SendCommand::endAs(int signal)
{
    std::fflush(stderr);
    // Windows has no signal status; 128 + the signal's number is what a
    // shell would report for it.
    ::ExitProcess(UINT(128 + signal));
}

bool SendCommand::errorsGoToTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

QString SendCommand::deviceExample() { return QStringLiteral("COM7"); }
