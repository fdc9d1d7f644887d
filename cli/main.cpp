// SPDX-License-Identifier: GPL-3.0-or-later
// The program with no window: every command that needs no display runs
// here, linked with no graphical library, and the window is the window
// program's, started in this process's place where it is installed.
#include "cli/console.h"
#include "cli/frontend.h"
#include "serve/serve.h"

#include <QByteArray>

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace {

class WindowProgram : public WindowFrontEnd {
public:
    WindowProgram();
    QString missing() const override;
    int run(const CommandLine &commandLine, int argc, char *argv[]) override;

private:
    QByteArray m_path;  // empty when the window program is not installed
};

// Installed, the window program sits in its own folder, which no PATH
// lists; in a build folder, beside this program. Both are found from this
// program's own path, so that an unpacked package works where it lies.
WindowProgram::WindowProgram()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return;
    QByteArray folder(self, length);
    folder.truncate(folder.lastIndexOf('/') + 1);
    for (const char *relative : {PELORIN_WINDOW_PROGRAM, "pelorin-gui"}) {
        const QByteArray candidate = folder + relative;
        if (::access(candidate.constData(), X_OK) == 0) {
            m_path = candidate;
            return;
        }
    }
}

QString WindowProgram::missing() const
{
    if (!m_path.isEmpty())
        return {};
    return QStringLiteral("the window is in the package pelorin-gui, which is not installed here; "
                          "install it with: sudo apt install pelorin-gui");
}

int WindowProgram::run(const CommandLine &, int, char *argv[])
{
    // The same arguments, environment, standard streams and process: to a
    // desktop or a script, pelorin is the window.
    ::execv(m_path.constData(), argv);
    printText(stderr, QStringLiteral("pelorin: could not start the window program %1: %2\n")
                          .arg(QString::fromLocal8Bit(m_path), QString::fromLocal8Bit(std::strerror(errno))));
    return 1;
}

}  // namespace

int main(int argc, char *argv[])
{
    WindowProgram window;
    return runPelorin(argc, argv, window, runServe);
}
