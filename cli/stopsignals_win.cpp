// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/stopsignals.h"

#include <QWinEventNotifier>

#include <csignal>
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

void watchStopSignals(QObject *owner, std::function<void(int)> stop)
{
    if (g_stopEvent || !(g_stopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr)))
        return;  // Ctrl-C keeps its default action: it still stops the program
    auto *notifier = new QWinEventNotifier(g_stopEvent, owner);
    QObject::connect(notifier, &QWinEventNotifier::activated, owner, [stop = std::move(stop)] { stop(SIGINT); });
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
