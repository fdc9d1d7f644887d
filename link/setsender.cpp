// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/setsender.h"

#include "link/comm.h"
#include "link/pacer.h"
#include "link/uploader.h"

SetSender::SetSender(PortMap ports, QObject *parent)
    : QObject(parent), m_ports(std::move(ports)), m_pacer(new Pacer(this))
{
    connect(m_pacer, &Pacer::timeout, this, [this] { m_uploader->tick(); });
    m_drainDeadline.setSingleShot(true);
    connect(&m_drainDeadline, &QTimer::timeout, this, &SetSender::drainTooLong);
}

SetSender::~SetSender() = default;

int SetSender::drainDeadlineMs(int characters) { return int(qint64(characters) * 10 * 1000 / 2400) + 2000; }

bool SetSender::start(const MessageSet &set, const QString &port, const NextStep &next)
{
    m_set = set;
    m_next = next;
    m_failure.clear();
    delete m_uploader;
    m_uploader = nullptr;
    delete m_link;
    m_link = new Comm(m_ports, this);
    // The system's devices, whether the port is a number or a name: where
    // it is missing, they are what the user may use instead.
    m_link->lookUpDevices();
    if (portNumber(port) > 0)
        m_link->setCommPort(std::int16_t(portNumber(port)));
    else
        m_link->setDevice(port);
    m_link->setSettings(QLatin1String(upload::kLineSettings));
    if (!m_link->open()) {
        const Diagnosis &why = m_link->failure();
        m_retryable = why.retryable();
        m_failure = why.text(m_next);
        return false;
    }
    m_pacer->setInterval(m_tickMs);
    m_uploader = new Uploader(m_set, *m_link, *m_pacer, this);
    const upload::Begun begun = m_uploader->start();
    if (!begun.ok) {
        m_link->close();
        m_retryable = false;
        m_failure = Uploader::tooLongText(begun);
        return false;
    }
    connect(m_uploader, &Uploader::advanced, this, &SetSender::advanced);
    connect(m_uploader, &Uploader::finished, this, &SetSender::finish);
    connect(m_uploader, &Uploader::failed, this, [this](const QString &reason) {
        m_link->discardOutput();
        m_link->close();
        end(true, m_uploader->stoppedText(m_link->portName(), reason) + QLatin1Char(' ')
                      + tr("Check the connection, then %1.").arg(m_next.retry));
    });
    connect(m_link, &Comm::drained, this, &SetSender::drained);
    // Queued, so that the link is never closed from inside its own write.
    connect(
        m_link, &Comm::lost, this, [this](const QString &reason) { m_uploader->fail(reason); }, Qt::QueuedConnection);
    return true;
}

bool SetSender::busy() const { return (m_uploader && m_uploader->running()) || draining(); }

upload::Progress SetSender::progress() const { return m_uploader ? m_uploader->progress() : upload::Progress{}; }

QString SetSender::portName() const { return m_link ? m_link->portName() : QString(); }

void SetSender::stop()
{
    if (m_uploader)
        m_uploader->stop();
    m_drainDeadline.stop();
    if (m_link) {
        m_link->discardOutput();
        m_link->close();
    }
}

void SetSender::finish()
{
    emit advanced();
    // The last character is with the system; the set is sent once it has
    // left the computer, which a device that takes no more never lets
    // happen.
    m_drainDeadline.start(drainDeadlineMs(m_uploader->progress().total));
    m_link->startDrain();
}

void SetSender::drained(bool ok)
{
    m_drainDeadline.stop();
    const QString reason = m_link->errorString();
    m_link->close();
    if (ok) {
        emit sent();
        return;
    }
    end(true, tr("All %1 characters were handed to %2, but whether the last of them left the computer is not "
                 "known: %3.\n\nThe board may now hold a partial message set. Check the connection, then %4.")
                  .arg(m_uploader->progress().total)
                  .arg(m_link->portName(), reason, m_next.retry));
}

void SetSender::drainTooLong()
{
    m_link->discardOutput();
    m_link->close();
    end(true, tr("All %1 characters were handed to %2, but it did not take the last of them within %3 seconds, "
                 "and they were thrown away.\n\nThe board may now hold a partial message set. Check the "
                 "connection, then %4.")
                  .arg(m_uploader->progress().total)
                  .arg(m_link->portName())
                  .arg((drainDeadlineMs(m_uploader->progress().total) + 999) / 1000)
                  .arg(m_next.retry));
}

void SetSender::end(bool retryable, const QString &text)
{
    m_retryable = retryable;
    m_failure = text;
    emit failed(retryable, text);
}
