// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <functional>

// A request to stop (Ctrl-C, SIGTERM, a terminal or a session that goes
// away) calls `stop` on `owner`'s thread with the signal's number, so that
// the program closes what it holds, the serial port and its lock file
// first, instead of dying with them open. Each platform has its own, in a
// file of its own. Set once per process.
void watchStopSignals(QObject *owner, std::function<void(int)> stop);
