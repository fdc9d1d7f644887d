// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commandline.h"
#include "cli/console.h"
#include "cli/listports.h"
#include "cli/sendcommand.h"
#include "link/portmap.h"
#include "ui/prompts.h"
#include "ui/tavro.h"
#include "ui/windowgone.h"

#ifdef Q_OS_UNIX
#include "board/boardreport.h"
#include "board/boardwindow.h"
#include "board/virtualboard.h"
#endif

#include <QApplication>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>  // needs windows.h first
#endif

#include <cstdio>
#include <memory>

namespace {

// The arguments after the program's name, before the application that
// would read them exists.
QStringList programArguments(int argc, char *argv[])
{
    QStringList arguments;
#ifdef Q_OS_WIN
    // The narrow arguments hold only what the system's ANSI code page can
    // spell; the wide command line holds every file name.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    int count = 0;
    if (LPWSTR *wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        ::LocalFree(wide);
    }
#else
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
#endif
    return arguments;
}

bool hasDisplay()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

#ifdef Q_OS_UNIX
// Where a sender in another shell reaches the board; then `more`, if any.
void announceBoard(const VirtualBoard &board, const char *more = "")
{
    std::printf("pelorin: the virtual board is on %s\n"
                "Send to it from another shell with: pelorin --send FILE.mes --port %s\n%s",
                qPrintable(board.device()), qPrintable(board.device()), more);
    std::fflush(stdout);
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

// The board alone where there is no display, as over SSH: what its window
// would show is printed as it changes, until the process is stopped.
int reportVirtualBoardOnly(VirtualBoard &board)
{
    announceBoard(board, "There is no display: what arrives is reported here. Ctrl-C ends the board.\n");
    BoardReport report;
    const auto print = [](const QStringList &lines) {
        for (const QString &line : lines)
            std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    };
    QTimer silence;
    silence.setSingleShot(true);
    silence.setInterval(BoardReport::kQuietMs);
    QObject::connect(&board, &VirtualBoard::received, [&] {
        print(report.update(board.board(), board.lineSettings()));
        silence.start();
    });
    QObject::connect(&silence, &QTimer::timeout, [&] { print(report.quiet(board.board())); });
    return QCoreApplication::exec();
}

// The virtual board's device, or an explanation on stderr and no board.
std::unique_ptr<VirtualBoard> makeVirtualBoard()
{
    auto board = std::make_unique<VirtualBoard>();
    if (board->device().isEmpty()) {
        std::fprintf(stderr, "pelorin: no pseudo-terminal for the virtual board: %s\n", qPrintable(board->error()));
        board.reset();
    }
    return board;
}
#endif

}  // namespace

int main(int argc, char *argv[])
{
    const CommandLine commandLine = parseCommandLine(programArguments(argc, argv));
    switch (commandLine.action) {
    case CommandLine::Help:
        printText(stdout, QLatin1String(kHelp));
        return 0;
    case CommandLine::Version:
        printText(stdout, QStringLiteral("pelorin %1\n").arg(QLatin1String(PELORIN_VERSION)));
        return 0;
    case CommandLine::Mistake:
        if (!commandLine.mistake.isEmpty())
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(commandLine.mistake));
        printText(stderr, QLatin1String(kUsage));
        return 2;
    case CommandLine::Send: {
        // No window and no display: the core application opens no
        // connection to a window system.
        int toolkitArgc = 1;
        QCoreApplication app(toolkitArgc, argv);
        SendCommand command({commandLine.file, commandLine.port, commandLine.quiet});
        return command.run();
    }
    case CommandLine::ListPorts: {
        int toolkitArgc = 1;
        QCoreApplication app(toolkitArgc, argv);
        return listPorts(commandLine.porcelain);
    }
    case CommandLine::Run:
    case CommandLine::VirtualBoardOnly:
        break;
    }
#ifndef Q_OS_UNIX
    if (commandLine.virtualBoard || commandLine.action == CommandLine::VirtualBoardOnly) {
        printText(stderr, QStringLiteral("pelorin: --virtual-board is not available here: the virtual board is a "
                                         "pseudo-terminal, which only Unix systems have.\n"));
        return 2;
    }
#endif
#ifdef Q_OS_UNIX
    if (commandLine.action == CommandLine::VirtualBoardOnly && !hasDisplay()) {
        int toolkitArgc = 1;
        QCoreApplication app(toolkitArgc, argv);
        const auto board = makeVirtualBoard();
        return board ? reportVirtualBoardOnly(*board) : 1;
    }
#endif
    // Without this check the toolkit aborts with a trace that tells a user
    // little.
    if (!hasDisplay()) {
        printText(stderr, QStringLiteral("pelorin: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is "
                                         "set); start it from a desktop session.\n"));
        return 1;
    }
    // The arguments are pelorin's alone; none of them go to the toolkit.
    int toolkitArgc = 1;
    QApplication app(toolkitArgc, argv);
    QApplication::setApplicationName(QStringLiteral("pelorin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.pelorin.Pelorin"));
    PortMap ports = systemSerialDevices;
#ifdef Q_OS_UNIX
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
#endif
    WidgetPrompts prompts;
    Tavro window(ports, prompts);
    prompts.setWindow(&window);
    window.show();
#ifdef Q_OS_UNIX
    if (board) {
        // A window of the editor's, so that it goes when the editor closes.
        auto *boardWindow = new BoardWindow(*board, &window);
        boardWindow->move(window.frameGeometry().topRight() + QPoint(16, 0));
        boardWindow->show();
    }
#endif
    quitWhenWindowDestroyed(&window);
    if (!commandLine.file.isEmpty()) {
        // Once the window is up, so that any message about the file has
        // the window to sit on.
        QTimer::singleShot(0, &window, [&] { window.loadFile(commandLine.file); });
    }
    return QApplication::exec();
}
