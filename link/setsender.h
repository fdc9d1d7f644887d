// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/diagnosis.h"
#include "link/portmap.h"
#include "link/upload.h"
#include "model/messageset.h"

#include <QObject>
#include <QString>
#include <QTimer>

class Comm;
class Pacer;
class Uploader;

// One send of a set to a port, with no window: opens the link, paces the
// upload, waits until the last character has left the computer, and closes
// the link again, so that the port is held only while sending. The command
// line's --send and the board's server both drive it and say what it
// reports in their own way.
class SetSender : public QObject {
    Q_OBJECT
public:
    explicit SetSender(PortMap ports, QObject *parent = nullptr);
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
    // of something else than the pace shortens it.
    void setTickMs(int ms) { m_tickMs = ms; }
    int tickMs() const { return m_tickMs; }
    bool retryable() const { return m_retryable; }
    // Stops at once, throwing away what has not left; the board may then
    // hold part of the set.
    void stop();

    bool busy() const;  // sending, or waiting for the last characters to leave
    bool draining() const { return m_drainDeadline.isActive(); }
    upload::Progress progress() const;
    QString portName() const;
    Pacer *pacer() const { return m_pacer; }
    const MessageSet &messageSet() const { return m_set; }

signals:
    void advanced();
    void sent();
    // What went wrong, in words that end in the front end's next step.
    void failed(bool retryable, const QString &text);

private:
    void finish();
    void drained(bool ok);
    void drainTooLong();
    void end(bool retryable, const QString &text);

    PortMap m_ports;
    NextStep m_next;
    MessageSet m_set;
    Comm *m_link = nullptr;
    Pacer *m_pacer = nullptr;
    Uploader *m_uploader = nullptr;
    QTimer m_drainDeadline;
    QString m_failure;
    bool m_retryable = false;
    int m_tickMs = upload::kTickMs;
};
