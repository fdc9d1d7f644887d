// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Whether the computer's clock has been set from the network. A small
// computer with no battery clock starts with the time it last saw, or
// one long past, until the network sets it: scheduled sends wait for it.
namespace clocksync {

bool synchronised();
// How synchronised() tells, for the server's first lines.
QString how();

// Tells at once when the wall clock is set, forward or back, as the
// network time service does at a small computer's start: Qt's timers run
// on the monotonic clock, which such a change does not move.
class Watcher : public QObject {
    Q_OBJECT
public:
    explicit Watcher(QObject *parent = nullptr);
    ~Watcher() override;

signals:
    void set();

private:
    void arm();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

}  // namespace clocksync
