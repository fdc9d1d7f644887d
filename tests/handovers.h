// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QTimerEvent>

#include <chrono>
#include <optional>
#include <vector>

// When each character of an upload was handed to the device. The stamp is
// taken as the upload timer's tick reaches the window, just before its
// write: whatever the window does after the write (the button's face, the
// taskbar) takes a varying time and would shift a later stamp by it. A
// stamp is kept only when the tick sent a character. What the board side
// of a pseudo-terminal sees adds the kernel's delivery, which can lag by
// milliseconds.
class HandOvers : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    HandOvers(QTimer *timer, const MessageSet &set) : m_timer(timer), m_set(set)
    {
        timer->installEventFilter(this);
        // Connected after the window's own tick, so this runs once it is done.
        connect(timer, &QTimer::timeout, this, [this] {
            if (m_tick && m_set.uploadPos - 1 > int(times.size()))
                times.push_back(*m_tick);
            m_tick.reset();
        });
    }
    ~HandOvers() override
    {
        if (m_timer)
            m_timer->removeEventFilter(this);
    }

    std::vector<Clock::time_point> times;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_timer && event->type() == QEvent::Timer
            && static_cast<QTimerEvent *>(event)->timerId() == m_timer->timerId())
            m_tick = Clock::now();
        return false;
    }

private:
    QPointer<QTimer> m_timer;
    const MessageSet &m_set;
    std::optional<Clock::time_point> m_tick;
};
