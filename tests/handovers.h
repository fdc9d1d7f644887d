// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <vector>

// When each character of an upload left the program: stamped by a slot on
// the upload timer that runs right after the window's own tick has handed
// its character to the device. What the board side of a pseudo-terminal
// sees adds the kernel's delivery, which can lag by milliseconds.
class HandOvers {
public:
    using Clock = std::chrono::steady_clock;

    HandOvers(QTimer *timer, const MessageSet &set)
    {
        QObject::connect(timer, &QTimer::timeout, &m_context, [this, &set] {
            if (set.uploadPos - 1 > int(times.size()))
                times.push_back(Clock::now());
        });
    }
    std::vector<Clock::time_point> times;

private:
    QObject m_context;
};
