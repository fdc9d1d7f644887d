// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/diagnosis.h"
#include "link/portmap.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

// Speed and framing as the settings text gives them, e.g. "2400,N,8,1".
struct LineSettings {
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    bool operator==(const LineSettings &) const = default;
};

// "speed,parity,data bits,stop bits": a decimal speed, one of N E O M S for
// the parity, 5..8 data bits and 1, 1.5 or 2 stop bits. Nothing else parses.
std::optional<LineSettings> parseLineSettings(const QString &text);

// The serial link to the board: a port chosen by number, or a device by
// name, line settings from a settings text, and output one character at a
// time. It never reads.
class Comm : public QObject {
    Q_OBJECT
public:
    explicit Comm(PortMap portMap, QObject *parent = nullptr);
    ~Comm() override;

    // Asks the port map where the devices are now; device() and open() use
    // what it found until the next look.
    void lookUpDevices();

    bool portOpen() const;
    void setCommPort(std::int16_t port);
    std::int16_t commPort() const { return m_port; }
    // A device by its name instead of a port number, as the command line's
    // --port gives it; the port number is then 0.
    void setDevice(const QString &name);
    // False, with the settings unchanged, for a text that does not parse.
    bool setSettings(const QString &text);
    // The editor hands over five further values before each open. They are
    // kept and have no effect: the link never reads, so it needs no input
    // buffer or thresholds, and flow control is always off.
    void setFurtherSetting(int which, qint32 value);
    bool open();
    void close();
    // Whether the port could be opened now, without touching the link:
    // its own port counts as opened while the link is open on it. A port
    // that does not open gives its reason as failure().
    bool tryOpen(int port);
    // Hands the byte to the device at once. False if the port is not open or
    // the system refuses it; errorString() says why.
    bool write(char byte);
    // Of the bytes written, how many the system has not yet confirmed as
    // taken: on Windows a write completes after write() returns, and may
    // still fail through lost().
    int unconfirmed() const { return m_unconfirmed; }

    // Starts waiting until every character written has left the computer,
    // not merely reached the system; drained() tells the end. The wait
    // blocks, so it runs on a thread of its own. Only the command line uses
    // it, after its last write.
    void startDrain();
    // Throws away what the system still holds for the device, which ends a
    // drain under way; a close then has nothing left to wait for. A drain
    // that ends after this is not reported.
    void discardOutput();

    // "serial port 1 (/dev/ttyUSB0)", or the device alone when it was
    // given by name, for messages.
    QString portName() const;
    // The device behind the current port number, as the last look found it.
    QString device() const { return deviceOf(m_port); }
    QString deviceOf(int port) const { return port >= 1 ? m_devices.value(port - 1) : port == 0 ? m_named : QString(); }
    QString errorString() const { return m_error; }
    // Why the last open or tryOpen failed.
    const Diagnosis &failure() const { return m_failure; }

signals:
    // The open port failed under the link (a write error, the device gone).
    void lost(const QString &reason);
    // The drain ended: false, with errorString(), if it failed.
    void drained(bool ok);

private:
    struct DrainLink;

    bool openOn(QSerialPort &serial, int port);
    // Opens the configured device for the link's writes, as the platform
    // allows.
    static bool openDevice(QSerialPort &serial);
    // Each platform's own: closes the device and lets what the system
    // still holds for it leave at the link's line settings.
    static void closeDevice(QSerialPort &serial);
    // Each platform's own: blocks until the device's output has left, on
    // the drain's thread.
    static bool waitUntilSent(qintptr handle, QString *error);
    // The running drain's answer is no longer wanted.
    void discardDrain();

    PortMap m_portMap;
    QStringList m_devices;
    QSerialPort m_serial;
    QString m_named;  // the device given by name
    std::int16_t m_port = 0;
    int m_unconfirmed = 0;
    std::shared_ptr<DrainLink> m_drain;
    LineSettings m_settings{2400, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop};
    std::array<qint32, 5> m_further{};
    QString m_error;
    Diagnosis m_failure;
};
