// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "cli/commandline.h"

#include <QString>

#include <functional>
#include <memory>

class VirtualBoard;

// What a program with a window adds to the commands that need none. The
// window program shows the windows itself; the program with no window
// hands them to the window program, where it is installed.
class WindowFrontEnd {
public:
    virtual ~WindowFrontEnd() = default;
    // Empty where a window can be shown; else, in one line, what to
    // install for one.
    virtual QString missing() const = 0;
    // The editor, or with VirtualBoardOnly the stand-in board's window
    // alone, until the last window closes. There is a display.
    virtual int run(const CommandLine &commandLine, int argc, char *argv[]) = 0;
};

// The board's server, where the program has it: the program with no window,
// on Linux. It runs on the application that the front end has made.
using ServeCommand = std::function<int(const ServeOptions &options)>;

// Every command of pelorin's: those that need no display run here, and the
// rest go to the window front end, or the server.
int runPelorin(int argc, char *argv[], WindowFrontEnd &window, const ServeCommand &serve = {});

// The virtual board's device, or an explanation on stderr and no board.
std::unique_ptr<VirtualBoard> makeVirtualBoard();
// Where a sender in another shell reaches the board; then `more`, if any.
void announceBoard(const VirtualBoard &board, const QString &more = {});
