// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/diagnosis.h"
#include "link/portmap.h"
#include "link/upload.h"
#include "model/messageset.h"

#include <QObject>
#include <QString>

#include <functional>

class Pacer;
class QThread;

// One send of a set to a port, with no window: opens the link, paces the
// upload, waits until the last character has left the computer, and closes
// the link again, so that the port is held only while sending. The command
// line's --send and the board's server both drive it and say what it
// reports in their own way.
//
// The sending itself may run on a thread of its own, whose only work is
// the set's characters: a server's thread answers every request that
// comes, and a tick that waits behind them is late. The caller sees the
// same calls and signals either way, on its own thread.
class SetSender : public QObject {
    Q_OBJECT
public:
    enum class Where { CallersThread, OwnThread };
    explicit SetSender(PortMap ports, QObject *parent = nullptr, Where where = Where::CallersThread);
    ~SetSender() override;

    // How long the last characters may take to leave the computer after
    // they were handed over: the whole set's time on the wire at 2400 baud,
    // ten bits a character, and two seconds more.
    static int drainDeadlineMs(int characters);

    // Opens `port` (a number from 1 to 4, or a device) and starts sending
    // `set`. False, with failure() and whether trying again may help, when
    // nothing was sent.
    bool start(const MessageSet &set, const QString &port, const NextStep &next);
    QString failure() const { return m_failure; }
    // The time between characters; the board's half second unless a test
    // of something else than the pace shortens it. It holds from the next
    // start().
    void setTickMs(int ms) { m_tickMs = ms; }
    int tickMs() const { return m_tickMs; }
    bool retryable() const { return m_retryable; }
    // Stops at once, throwing away what has not left; the board may then
    // hold part of the set. progress() then says how far it had come.
    void stop();

    bool busy() const { return m_busy; }  // sending, or waiting for the last characters to leave
    bool draining() const { return m_draining; }
    upload::Progress progress() const { return upload::progress(m_set, m_pace); }
    QString portName() const { return m_portName; }
    // The set being sent, its stream and how far it has come.
    const MessageSet &messageSet() const { return m_set; }
    // The upload's clock, where the sending runs on the caller's thread;
    // null where it has a thread of its own.
    Pacer *pacer() const;

signals:
    void advanced();
    void sent();
    // What went wrong, in words that end in the front end's next step.
    void failed(bool retryable, const QString &text);

private:
    class Sending;
    struct Report;

    // Runs `work` on the sending's thread and returns once it is done.
    void call(const std::function<void()> &work) const;
    // What the sending reports, on the caller's thread; a report of a run
    // that was stopped or replaced since is too late, and dropped.
    void take(const Report &report);

    Sending *m_sending = nullptr;
    QThread *m_thread = nullptr;
    unsigned m_run = 0;  // counts start() calls
    MessageSet m_set;
    QString m_portName;
    QString m_failure;
    bool m_retryable = false;
    bool m_busy = false;
    bool m_draining = false;
    int m_tickMs = upload::kTickMs;
    int m_pace = upload::kTickMs;  // the running send's
};
