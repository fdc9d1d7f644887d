#include "link/portmap.h"
#include "ui/prompts.h"
#include "ui/tavro.h"
#include "ui/windowgone.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelorin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.pelorin.Pelorin"));
    WidgetPrompts prompts;
    Tavro window(systemSerialDevice, prompts);
    prompts.setWindow(&window);
    window.show();
    quitWhenWindowDestroyed(&window);
    return QApplication::exec();
}
