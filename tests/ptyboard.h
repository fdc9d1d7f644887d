// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

// A pseudo-terminal that stands in for the board: the program opens its
// slave side as a serial device, and every byte that arrives on the master
// side is recorded with its time of arrival by a thread of its own, so the
// times do not depend on the GUI event loop.
class PtyBoard {
public:
    using Clock = std::chrono::steady_clock;
    struct Arrival {
        char byte;
        Clock::time_point at;
    };

    PtyBoard();
    ~PtyBoard();
    PtyBoard(const PtyBoard &) = delete;
    PtyBoard &operator=(const PtyBoard &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString path() const { return m_path; }

    QByteArray received() const;
    std::vector<Arrival> arrivals() const;
    // Runs the event loop until n bytes have arrived or the time is up.
    bool waitForBytes(int n, int timeoutMs) const;
    // The line settings as the program left them on the device.
    termios settings() const;
    // Another program holds the device: no one else may open it.
    bool holdExclusively();
    // The cable pulled: the device goes away under the program.
    void hangUp();

private:
    void readLoop();

    int m_master = -1;
    int m_slave = -1;  // held so the master never sees a hang-up between opens
    QString m_path;
    mutable std::mutex m_mutex;
    std::vector<Arrival> m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

// A path where no device will ever be.
QString absentDevice(int port);
// Ports 1, 2, ... on the devices given, and the rest of ports 1..4 on
// absent devices.
QStringList withAbsentAfter(QStringList devices);
