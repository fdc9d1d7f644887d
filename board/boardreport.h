// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "board/interpreter.h"

#include <QString>
#include <QStringList>

// What the stand-in board says of what it holds and of the current upload,
// in the same words in its window and in its report with no display.
namespace boardtext {
// Nine lines: "1  level 1  TEXT" for slots 1 to 8, "9  idle     TEXT".
QStringList storedSet(const BoardInterpreter &board);
// The line settings the sender set, against the board's 2400 8N1.
QString lineSettings(const QString &settings);
QString smallestGap(const BoardInterpreter &board);
QString protocol(const BoardInterpreter &board);
}  // namespace boardtext

// The stand-in board with no display tells, line by line, what a person
// would see change in its window: an upload begun with its line settings, a
// gap under the board's half second, a fault in the records, and the set
// the board holds once an upload has ended.
class BoardReport {
public:
    // How long the board waits on a silent sender before it calls the
    // upload ended short: several intervals, so a stalled sender is not.
    static constexpr int kQuietMs = 5000;

    // The lines that what has arrived since the last call adds. Settings
    // are those on the device as the current upload began.
    QStringList update(const BoardInterpreter &board, const QString &settings);
    // The lines for an upload that has heard nothing for kQuietMs.
    QStringList quiet(const BoardInterpreter &board);

private:
    QStringList held(const BoardInterpreter &board, const QString &how);

    qsizetype m_seen = 0;
    bool m_toldFast = false;
    bool m_toldEnd = false;    // the upload completed, or broke the protocol
    bool m_toldQuiet = false;  // the sender fell silent before the end
};
