// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include <QStringList>

std::optional<LineSettings> parseLineSettings(const QString &text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return std::nullopt;

    LineSettings s;
    const QString &baud = parts[0];
    if (baud.isEmpty() || baud.size() > 9)
        return std::nullopt;
    for (QChar c : baud) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    s.baud = baud.toInt();
    if (s.baud <= 0)
        return std::nullopt;

    const QString parity = parts[1].toUpper();
    if (parity == QLatin1String("N"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const QString &bits = parts[2];
    if (bits.size() != 1 || bits[0] < u'5' || bits[0] > u'8')
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits[0].unicode() - u'0');

    const QString &stop = parts[3];
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

Comm::Comm(PortMap portMap, QObject *parent) : QObject(parent), m_portMap(std::move(portMap))
{
    connect(&m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // Open failures are reported by open() itself.
        if (error == QSerialPort::NoError || !m_serial.isOpen())
            return;
        m_error = m_serial.errorString();
        emit lost(m_error);
    });
}

bool Comm::portOpen() const { return m_serial.isOpen(); }

void Comm::setCommPort(std::int16_t port) { m_port = port; }

bool Comm::setSettings(const QString &text)
{
    const auto parsed = parseLineSettings(text);
    if (!parsed)
        return false;
    m_settings = *parsed;
    return true;
}

void Comm::setFurtherSetting(int which, qint32 value)
{
    if (which >= 1 && which <= static_cast<int>(m_further.size()))
        m_further[which - 1] = value;
}

void Comm::lookUpDevices() { m_devices = m_portMap ? m_portMap() : QStringList(); }

bool Comm::openOn(QSerialPort &serial, int port)
{
    m_error.clear();
    m_failure = {};
    const QString path = deviceOf(port);
    if (path.isEmpty()) {
        m_error = tr("there is no serial device for this port");
        m_failure = diagnose(port, gatherFacts(path, m_error, false));
        return false;
    }
    serial.setPortName(path);
    serial.setBaudRate(m_settings.baud);
    serial.setParity(m_settings.parity);
    serial.setDataBits(m_settings.dataBits);
    serial.setStopBits(m_settings.stopBits);
    serial.setFlowControl(QSerialPort::NoFlowControl);
    if (openDevice(serial))
        return true;

    m_error = serial.errorString();
    // QSerialPort calls a device that is busy or locked a permission error
    // too; the facts tell the two apart.
    m_failure = diagnose(port, gatherFacts(path, m_error, serial.error() == QSerialPort::PermissionError));
    serial.clearError();
    return false;
}

bool Comm::open() { return openOn(m_serial, m_port); }

bool Comm::tryOpen(int port)
{
    if (m_serial.isOpen() && port == m_port)
        return true;
    QSerialPort probe;
    const bool opened = openOn(probe, port);
    probe.close();
    return opened;
}

void Comm::close()
{
    if (m_serial.isOpen())
        m_serial.close();
    m_serial.clearError();
}

bool Comm::write(char byte)
{
    if (!m_serial.isOpen()) {
        m_error = tr("the port is not open");
        return false;
    }
    // QSerialPort only buffers on write; flush hands the byte to the device
    // now, and that is where a lost device shows.
    const bool buffered = m_serial.write(&byte, 1) == 1;
    m_serial.flush();
    if (!buffered || m_serial.error() != QSerialPort::NoError) {
        m_error = m_serial.errorString();
        return false;
    }
    return true;
}

QString Comm::portName() const
{
    const QString number = QString::number(m_port);
    return device().isEmpty() ? tr("serial port %1").arg(number) : tr("serial port %1 (%2)").arg(number, device());
}
