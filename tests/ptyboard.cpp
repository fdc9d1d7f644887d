// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptyboard.h"

#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

PtyBoard::PtyBoard()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);
    m_reader = std::thread([this] { readLoop(); });
}

PtyBoard::~PtyBoard()
{
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyBoard::hangUp()
{
    m_stop = true;
    if (m_reader.joinable())
        m_reader.join();
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyBoard::readLoop()
{
    char buffer[256];
    while (!m_stop) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        const auto now = Clock::now();
        if (n <= 0)
            continue;
        std::lock_guard lock(m_mutex);
        for (ssize_t i = 0; i < n; ++i)
            m_arrivals.push_back({buffer[i], now});
    }
}

bool PtyBoard::holdExclusively() { return ::ioctl(m_slave, TIOCEXCL) == 0; }

QByteArray PtyBoard::received() const
{
    std::lock_guard lock(m_mutex);
    QByteArray bytes;
    for (const Arrival &a : m_arrivals)
        bytes += a.byte;
    return bytes;
}

std::vector<PtyBoard::Arrival> PtyBoard::arrivals() const
{
    std::lock_guard lock(m_mutex);
    return m_arrivals;
}

bool PtyBoard::waitForBytes(int n, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return received().size() >= n; }, timeoutMs);
}

termios PtyBoard::settings() const
{
    termios t{};
    ::tcgetattr(m_slave, &t);
    return t;
}

QString absentDevice(int port) { return QStringLiteral("/nonexistent/pelorin-port-%1").arg(port); }

QStringList withAbsentAfter(QStringList devices)
{
    while (devices.size() < 4)
        devices << absentDevice(int(devices.size()) + 1);
    return devices;
}
