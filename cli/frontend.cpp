// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/frontend.h"

#include "board/boardreport.h"
#include "board/virtualboard.h"
#include "cli/console.h"
#include "cli/listports.h"
#include "cli/sendcommand.h"
#include "cli/stopsignals.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

// The board alone where no window can show it, as over SSH: what its window
// would show is printed as it changes, until the process is stopped.
int reportVirtualBoardOnly(VirtualBoard &board, const QString &why)
{
    announceBoard(board, QStringLiteral("%1 what arrives is reported here. Ctrl-C ends the board.\n").arg(why));
    BoardReport report;
    const auto print = [](const QStringList &lines) {
        for (const QString &line : lines)
            printText(stdout, line + QLatin1Char('\n'));
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

}  // namespace

std::unique_ptr<VirtualBoard> makeVirtualBoard()
{
    auto board = std::make_unique<VirtualBoard>();
    if (board->device().isEmpty()) {
        printText(stderr,
                  QStringLiteral("pelorin: no pseudo-terminal for the virtual board: %1\n").arg(board->error()));
        board.reset();
    }
    return board;
}

void announceBoard(const VirtualBoard &board, const QString &more)
{
    printText(stdout, QStringLiteral("pelorin: the virtual board is on %1\n"
                                     "Send to it from another shell with: pelorin --send FILE.mes --port %1\n%2")
                          .arg(board.device(), more));
}

int runPelorin(int argc, char *argv[], WindowFrontEnd &window, const ServeCommand &serve)
{
    const CommandLine commandLine = parseCommandLine(programArguments(argc, argv));
    // The toolkit gets the program's name alone: every argument is pelorin's.
    int toolkitArgc = 1;
    switch (commandLine.action) {
    case CommandLine::Help:
        printText(stdout, helpText());
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
        QCoreApplication app(toolkitArgc, argv);
        SendCommand command({commandLine.file, commandLine.port, commandLine.quiet});
        return command.run();
    }
    case CommandLine::ListPorts: {
        QCoreApplication app(toolkitArgc, argv);
        return listPorts(commandLine.porcelain);
    }
    case CommandLine::Serve:
        if (!serve) {
            printText(stderr, QStringLiteral("pelorin: --serve is not in this program: the board's web page is "
                                             "served by pelorin on Linux, the program with no window.\n"));
            return 2;
        }
        {
            QCoreApplication app(toolkitArgc, argv);
            // Stopped by systemd or Ctrl-C, the server closes as it would
            // at the end: the board's port and its lock, and "offline"
            // said to the broker.
            watchStopSignals(&app, [](int) { QCoreApplication::quit(); });
            return serve(commandLine.serve);
        }
    case CommandLine::Run:
    case CommandLine::VirtualBoardOnly:
        break;
    }
    const bool boardOnly = commandLine.action == CommandLine::VirtualBoardOnly;
    if (const QString why = VirtualBoard::unavailable(); !why.isEmpty() && (commandLine.virtualBoard || boardOnly)) {
        printText(stderr, QStringLiteral("pelorin: --virtual-board is not available here: %1.\n").arg(why));
        return 2;
    }
    const QString missing = window.missing();
    if (boardOnly && (!hasDisplay() || !missing.isEmpty())) {
        QCoreApplication app(toolkitArgc, argv);
        const auto board = makeVirtualBoard();
        if (!board)
            return 1;
        return reportVirtualBoardOnly(*board, hasDisplay() ? QStringLiteral("There is no window here: %1;").arg(missing)
                                                           : QStringLiteral("There is no display:"));
    }
    if (!hasDisplay()) {
        printText(stderr, QStringLiteral("pelorin: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is "
                                         "set); start it from a desktop session.\n"));
        return 1;
    }
    if (!missing.isEmpty()) {
        printText(stderr, QStringLiteral("pelorin: %1.\n").arg(missing));
        return 2;
    }
    return window.run(commandLine, argc, argv);
}
