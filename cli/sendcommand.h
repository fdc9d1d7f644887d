// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/diagnosis.h"
#include "link/upload.h"
#include "model/messageset.h"

#include <QObject>
#include <QString>

#include <functional>

class Pacer;
class SetSender;

// pelorin --send FILE.mes: sends the set in a message file and ends, with
// no window and no display. It reads the file as Load does, and sends
// through the same link, pacing and upload as the window; it opens and
// closes its own link. Messages go to standard error.
class SendCommand : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString file;
        QString port;  // empty: the port the file names
        bool quiet = false;
    };
    // The command line's way to try again.
    static inline const NextStep kNextStep{QStringLiteral("run the command again"),
                                           QStringLiteral("run the command again"),
                                           QStringLiteral("run the command again with --port %1")};
    // The exit statuses of a failure: one that trying again cannot mend (a
    // file refused, a port that the file does not name, a device this user
    // may not open), and one that it may (a port absent or in use, a write
    // or the drain that failed).
    static constexpr int kRefused = 1;
    static constexpr int kTryAgain = 75;  // EX_TEMPFAIL

    explicit SendCommand(Options options, QObject *parent = nullptr);
    ~SendCommand() override;

    // Needs a QCoreApplication, and no more. Returns the exit status: 0 once
    // the last character has left the computer, else kRefused or
    // kTryAgain. Ctrl-C or SIGTERM stop it at any point, and end the
    // process as the signal would.
    int run();

    // The pacer and the set of the upload, for a benchmark to watch.
    Pacer *pacer() const;
    const MessageSet &messageSet() const;

    // "[#####---------------] 37 of 188 characters, 1:16 left"
    static QString progressLine(const upload::Progress &progress);

private:
    bool prepare();
    void say(const QString &text);
    void fail(int status, const QString &text);
    void showProgress();
    void stopBy(int signal);

    // Each platform has its own, in a file of its own: the process ends
    // as the stop signal would end it.
    [[noreturn]] static void endAs(int signal);
    static bool errorsGoToTerminal();
    // A device as the user would name it: "/dev/ttyUSB0", "COM7".
    static QString deviceExample();

    Options m_options;
    MessageSet m_set;
    SetSender *m_sender = nullptr;
    bool m_terminal = false;
    qsizetype m_lineWidth = 0;  // of the progress line on the terminal, 0 when none shows
    int m_status = 0;
};
