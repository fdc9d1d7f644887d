// SPDX-License-Identifier: GPL-3.0-or-later
// The window program: the editor and the stand-in board's window, and every
// command that needs no window as well.
#include "board/boardwindow.h"
#include "board/virtualboard.h"
#include "cli/frontend.h"
#include "cli/stopsignals.h"
#include "link/portmap.h"
#include "ui/prompts.h"
#include "ui/tavro.h"
#include "ui/windowgone.h"

#include <QApplication>
#include <QTimer>

namespace {

class Windows : public WindowFrontEnd {
public:
    QString missing() const override { return {}; }
    int run(const CommandLine &commandLine, int argc, char *argv[]) override;
};

// Ended by the system or the terminal (a logout, a kill, Ctrl-C), the
// window closes as if its user had quit: the port it holds is closed and
// its lock file removed, which would otherwise stand until the computer
// restarts against any other user of that port.
void quitOnStopSignals()
{
    watchStopSignals(qApp, [](int) { QCoreApplication::quit(); });
}

// The board alone, for a sender in another process: this process holds its
// device open, and nothing more, so the sender may open it.
int showVirtualBoardOnly(VirtualBoard &board)
{
    announceBoard(board);
    BoardWindow window(board, nullptr, true);
    window.show();
    quitWhenWindowDestroyed(&window);
    return QApplication::exec();
}

int Windows::run(const CommandLine &commandLine, int, char *[])
{
    // The window system knows the window as pelorin's (X11's WM_CLASS
    // comes from the program's name), however the window program was
    // started, so that the desktop entry's StartupWMClass matches it.
    char name[] = "pelorin";
    char *toolkitArgv[] = {name, nullptr};
    int toolkitArgc = 1;
    QApplication app(toolkitArgc, toolkitArgv);
    QApplication::setApplicationName(QStringLiteral("pelorin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.pelorin.Pelorin"));
    // Before any port is opened: a signal that came while the window was
    // being made would otherwise end it with the port's lock left. It is
    // acted on once the event loop runs.
    quitOnStopSignals();
    PortMap ports = systemSerialDevices;
    std::unique_ptr<VirtualBoard> board;
    if (commandLine.virtualBoard || commandLine.action == CommandLine::VirtualBoardOnly) {
        if (!(board = makeVirtualBoard()))
            return 1;
    }
    if (commandLine.action == CommandLine::VirtualBoardOnly)
        return showVirtualBoardOnly(*board);
    // The virtual board is port 1, and no other port is offered.
    if (board)
        ports = [device = board->device()] { return QStringList{device}; };
    WidgetPrompts prompts;
    Tavro window(ports, prompts);
    prompts.setWindow(&window);
    window.show();
    if (board) {
        // A window of the editor's, so that it goes when the editor closes.
        auto *boardWindow = new BoardWindow(*board, &window);
        boardWindow->move(window.frameGeometry().topRight() + QPoint(16, 0));
        boardWindow->show();
    }
    quitWhenWindowDestroyed(&window);
    if (!commandLine.file.isEmpty()) {
        // Once the window is up, so that any message about the file has
        // the window to sit on.
        QTimer::singleShot(0, &window, [&] { window.loadFile(commandLine.file); });
    }
    return QApplication::exec();
}

}  // namespace

int main(int argc, char *argv[])
{
    Windows windows;
    return runPelorin(argc, argv, windows);
}
