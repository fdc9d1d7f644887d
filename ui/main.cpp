// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"
#include "ui/commandline.h"
#include "ui/prompts.h"
#include "ui/tavro.h"
#include "ui/windowgone.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = parseCommandLine(arguments);
    if (!commandLine.understood) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Without this check the toolkit aborts with a trace that tells a user
    // little.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("pelorin: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                   "start it from a desktop session.\n",
                   stderr);
        return 1;
    }
#endif
    // The arguments are pelorin's alone; none of them go to the toolkit.
    int toolkitArgc = 1;
    QApplication app(toolkitArgc, argv);
    QApplication::setApplicationName(QStringLiteral("pelorin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.pelorin.Pelorin"));
    WidgetPrompts prompts;
    Tavro window(systemSerialDevices, prompts);
    prompts.setWindow(&window);
    window.show();
    quitWhenWindowDestroyed(&window);
    if (!commandLine.file.isEmpty()) {
        // Once the window is up, so that any message about the file has
        // the window to sit on.
        QTimer::singleShot(0, &window, [&] { window.loadFile(commandLine.file); });
    }
    return QApplication::exec();
}
