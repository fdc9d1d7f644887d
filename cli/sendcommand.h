// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/diagnosis.h"
#include "link/upload.h"
#include "model/messageset.h"

#include <QObject>
#include <QString>

#include <functional>

class Comm;
class Pacer;
class Uploader;

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
                                           QStringLiteral("run the command again")};

    explicit SendCommand(Options options, QObject *parent = nullptr);
    ~SendCommand() override;

    // Needs a QCoreApplication, and no more. Returns the exit status: 0 once
    // the last character has left the computer, 1 if the file, the port or
    // a write failed. Ctrl-C or SIGTERM stop the upload at once and end the
    // process as the signal would.
    int run();

    // The pacer and the set of the upload, for a benchmark to watch.
    Pacer *pacer() const { return m_pacer; }
    const MessageSet &messageSet() const { return m_set; }

    // "[#####---------------] 37 of 188 characters, 1:16 left"
    static QString progressLine(const upload::Progress &progress);

private:
    bool prepare();
    void say(const QString &text);
    void fail(const QString &text);
    void showProgress();
    void finish();
    void stopBy(int signal);
    QString where() const;

    // Each platform has its own, in a file of its own: a stop request
    // (Ctrl-C, SIGTERM) calls `stop` on this object's thread with the
    // signal's number; the process ends as that signal would end it.
    void watchForStop(std::function<void(int)> stop);
    [[noreturn]] static void endAs(int signal);
    static bool errorsGoToTerminal();
    // A device as the user would name it: "/dev/ttyUSB0", "COM7".
    static QString deviceExample();

    Options m_options;
    MessageSet m_set;
    Comm *m_link = nullptr;
    Pacer *m_pacer = nullptr;
    Uploader *m_uploader = nullptr;
    bool m_byPath = false;
    bool m_terminal = false;
    qsizetype m_lineWidth = 0;  // of the progress line on the terminal, 0 when none shows
    int m_status = 0;
};
