// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <csignal>
#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {

// Console control events come on a thread of the system's; the stop is
// handed to the event loop's thread.
QPointer<QObject> g_receiver;
std::function<void(int)> g_stop;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(
        g_receiver.data(), [] { g_stop(SIGINT); }, Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

void SendCommand::watchForStop(std::function<void(int)> stop)
{
    g_receiver = this;
    g_stop = std::move(stop);
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
