// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/pacer.h"
#include "model/messageset.h"

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>
#include <vector>

// When each character of an upload was handed to the device. The stamp is
// taken as the pacer's wake-up reaches it, before it reads the clock and
// ticks, so a stamp is never later than its write: whatever the window does
// after the write (the button's face, the taskbar) takes a varying time and
// would shift a later stamp by it. A stamp is kept only when the tick sent
// a character. What the board side of a pseudo-terminal sees adds the
// kernel's delivery, which can lag by milliseconds.
class HandOvers : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    HandOvers(Pacer *pacer, const MessageSet &set) : m_set(set)
    {
        // The pacer wakes through a child of its own: a descriptor's
        // notifier, or a timer where there is none.
        for (QObject *child : pacer->children()) {
            child->installEventFilter(this);
            m_watched << child;
        }
        // Connected after the window's own tick, so this runs once it is done.
        connect(pacer, &Pacer::timeout, this, [this] {
            if (m_wake && m_set.uploadPos - 1 > int(times.size()))
                times.push_back(*m_wake);
            m_wake.reset();
        });
    }
    ~HandOvers() override
    {
        for (const QPointer<QObject> &child : m_watched) {
            if (child)
                child->removeEventFilter(this);
        }
    }

    std::vector<Clock::time_point> times;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct || event->type() == QEvent::Timer)
            m_wake = Clock::now();
        return false;
    }

private:
    QList<QPointer<QObject>> m_watched;
    const MessageSet &m_set;
    std::optional<Clock::time_point> m_wake;
};
