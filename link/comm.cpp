// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

#include "model/systemreason.h"

#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>

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

// What the drain's thread shares with the link, which may be gone, or no
// longer want the answer, by the time the wait ends.
struct Comm::DrainLink {
    std::mutex mutex;
    Comm *comm = nullptr;
};

namespace {

// Read by whichever thread logs while a port opens on the sending's.
std::atomic<QtMessageHandler> g_outerHandler = nullptr;

// Qt warns on standard error when it cannot take a serial port's lock; the
// refusal that follows is explained in pelorin's own words, naming the
// lock, so Qt's lines would only stand beside it.
void withoutLockWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg
        && (message.startsWith(QLatin1String("Failed to create a lock file"))
            || message.startsWith(QLatin1String("The following directories are not readable or writable"))
            || (message.startsWith(u'\t') && message.endsWith(u'\n'))))
        return;
    if (const QtMessageHandler outer = g_outerHandler.load())
        outer(type, context, message);
}

}  // namespace

Comm::Comm(PortMap portMap, QObject *parent) : QObject(parent), m_portMap(std::move(portMap))
{
    connect(&m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // Open failures are reported by open() itself.
        if (error == QSerialPort::NoError || !m_serial.isOpen())
            return;
        m_error = systemReason(m_serial.errorString());
        emit lost(m_error);
    });
    connect(&m_serial, &QSerialPort::bytesWritten, this,
            [this](qint64 bytes) { m_unconfirmed = int(std::max<qint64>(0, m_unconfirmed - bytes)); });
}

// Output still on its way is left to go: a window closed just after its
// upload must not cut off the last characters.
Comm::~Comm()
{
    discardDrain();
    if (m_serial.isOpen())
        closeDevice(m_serial);
}

bool Comm::portOpen() const { return m_serial.isOpen(); }

void Comm::setCommPort(std::int16_t port) { m_port = port; }

void Comm::setDevice(const QString &name)
{
    m_port = 0;
    m_named = systemDeviceName(name);
}

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
        m_failure = diagnose(port, gatherFacts(path, m_error, false, m_devices));
        return false;
    }
    serial.setPortName(path);
    serial.setBaudRate(m_settings.baud);
    serial.setParity(m_settings.parity);
    serial.setDataBits(m_settings.dataBits);
    serial.setStopBits(m_settings.stopBits);
    serial.setFlowControl(QSerialPort::NoFlowControl);
    g_outerHandler = qInstallMessageHandler(withoutLockWarnings);
    const bool opened = openDevice(serial);
    qInstallMessageHandler(g_outerHandler.load());
    if (opened) {
        m_unconfirmed = 0;
        return true;
    }

    m_error = systemReason(serial.errorString());
    // QSerialPort calls a device that is busy or locked a permission error
    // too; the facts tell the two apart.
    m_failure = diagnose(port, gatherFacts(path, m_error, serial.error() == QSerialPort::PermissionError, m_devices));
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
    discardDrain();
    if (m_serial.isOpen())
        closeDevice(m_serial);
    m_serial.clearError();
}

bool Comm::write(char byte)
{
    if (!m_serial.isOpen()) {
        m_error = tr("the port is not open");
        return false;
    }
    // QSerialPort only buffers on write; flush hands the byte to the device
    // now. On Unix that is where a lost device shows. On Windows the write
    // completes later, and a failure then comes through lost(); until it
    // completes the byte counts as unconfirmed.
    ++m_unconfirmed;
    const bool buffered = m_serial.write(&byte, 1) == 1;
    m_serial.flush();
    if (!buffered || m_serial.error() != QSerialPort::NoError) {
        m_unconfirmed = std::max(0, m_unconfirmed - 1);
        m_error = systemReason(m_serial.errorString());
        return false;
    }
    return true;
}

void Comm::startDrain()
{
    discardDrain();
    if (!m_serial.isOpen()) {
        m_error = tr("the port is not open");
        QMetaObject::invokeMethod(
            this, [this] { emit drained(false); }, Qt::QueuedConnection);
        return;
    }
    m_drain = std::make_shared<DrainLink>();
    m_drain->comm = this;
    std::thread([link = m_drain, handle = qintptr(m_serial.handle())] {
        QString error;
        const bool ok = waitUntilSent(handle, &error);
        const std::lock_guard lock(link->mutex);
        Comm *comm = link->comm;
        if (!comm)
            return;
        QMetaObject::invokeMethod(
            comm,
            [comm, link, ok, error] {
                if (comm->m_drain != link)
                    return;  // discarded since
                comm->m_drain.reset();
                if (!ok)
                    comm->m_error = systemReason(error);
                emit comm->drained(ok);
            },
            Qt::QueuedConnection);
    }).detach();
}

void Comm::discardDrain()
{
    if (!m_drain)
        return;
    const std::lock_guard lock(m_drain->mutex);
    m_drain->comm = nullptr;
    m_drain.reset();
}

void Comm::discardOutput()
{
    discardDrain();
    // Qt's clear is tcflush(TCOFLUSH) on Unix, which wakes a tcdrain, and
    // PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR) on Windows, which cancels
    // the writes queued in the driver and the flush that waits behind them.
    if (m_serial.isOpen())
        m_serial.clear(QSerialPort::Output);
}

QString Comm::portName() const
{
    if (m_port == 0)
        return m_named;
    const QString number = QString::number(m_port);
    return device().isEmpty() ? tr("serial port %1").arg(number) : tr("serial port %1 (%2)").arg(number, device());
}
