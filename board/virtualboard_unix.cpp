// SPDX-License-Identifier: GPL-3.0-or-later
#include "board/virtualboard.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

VirtualBoard::VirtualBoard(QObject *parent) : QObject(parent)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    m_device = QString::fromLocal8Bit(::ptsname(m_master));
    m_slave = ::open(::ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(qintptr(m_master), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &VirtualBoard::readAvailable);
}

QString VirtualBoard::unavailable() { return {}; }

VirtualBoard::~VirtualBoard()
{
    delete m_notifier;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

void VirtualBoard::readAvailable()
{
    char buffer[256];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    const auto now = BoardInterpreter::Clock::now();
    if (n <= 0)
        return;
    for (ssize_t i = 0; i < n; ++i)
        m_board.receive(buffer[i], now);
    // Taken as an upload begins, while its sender holds the device: a sender
    // that closes the device puts back the settings it found there.
    if (m_board.received().size() <= n)
        m_lineSettings = deviceSettings();
    emit received();
}

QString VirtualBoard::deviceSettings() const
{
    termios t{};
    if (m_slave < 0 || ::tcgetattr(m_slave, &t) != 0)
        return {};
    const speed_t speed = ::cfgetospeed(&t);
    const struct {
        speed_t code;
        int baud;
    } speeds[] = {{B300, 300},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},    {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    QString baud = QStringLiteral("?");
    for (const auto &s : speeds) {
        if (s.code == speed)
            baud = QString::number(s.baud);
    }
    const int bits = (t.c_cflag & CSIZE) == CS8   ? 8
                     : (t.c_cflag & CSIZE) == CS7 ? 7
                     : (t.c_cflag & CSIZE) == CS6 ? 6
                                                  : 5;
    const QChar parity = !(t.c_cflag & PARENB) ? u'N' : (t.c_cflag & PARODD) ? u'O' : u'E';
    return QStringLiteral("%1 %2%3%4").arg(baud).arg(bits).arg(parity).arg((t.c_cflag & CSTOPB) ? 2 : 1);
}
