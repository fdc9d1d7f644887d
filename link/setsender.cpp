// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/setsender.h"

#include "link/comm.h"
#include "link/pacer.h"
#include "link/uploader.h"

#include <QThread>
#include <QTimer>

// What the sending tells its caller: a character gone out, the set sent,
// or why it stopped.
struct SetSender::Report {
    enum Kind { Advanced, Sent, Failed } kind;
    unsigned run;
    std::int16_t uploadPos;
    bool draining;
    bool retryable;
    QString text;
};

// The link, the clock and the upload, all on the sending's thread; the
// caller reaches them through call() and hears of them through take().
class SetSender::Sending : public QObject {
public:
    Sending(PortMap ports, SetSender &caller) : m_ports(std::move(ports)), m_caller(caller) {}

    void setUp()
    {
        m_pacer = new Pacer(this);
        connect(m_pacer, &Pacer::timeout, this, [this] { m_uploader->tick(); });
        m_drainDeadline = new QTimer(this);
        m_drainDeadline->setSingleShot(true);
        connect(m_drainDeadline, &QTimer::timeout, this, &Sending::drainTooLong);
    }

    struct Begun {
        bool ok = false;
        bool retryable = false;
        QString failure;
        MessageSet set;
        QString portName;
    };

    Begun start(unsigned run, const MessageSet &set, const QString &port, const NextStep &next, int tickMs)
    {
        Begun begun;
        m_run = run;
        m_set = set;
        m_next = next;
        m_drainDeadline->stop();
        delete m_uploader;
        m_uploader = nullptr;
        delete m_link;
        m_link = new Comm(m_ports, this);
        // The system's devices, whether the port is a number or a name:
        // where it is missing, they are what the user may use instead.
        m_link->lookUpDevices();
        if (portNumber(port) > 0)
            m_link->setCommPort(std::int16_t(portNumber(port)));
        else
            m_link->setDevice(port);
        m_link->setSettings(QLatin1String(upload::kLineSettings));
        begun.portName = m_link->portName();
        if (!m_link->open()) {
            const Diagnosis &why = m_link->failure();
            begun.retryable = why.retryable();
            begun.failure = why.text(m_next);
            return begun;
        }
        m_pacer->setInterval(tickMs);
        m_uploader = new Uploader(m_set, *m_link, *m_pacer, this);
        const upload::Begun stream = m_uploader->start();
        if (!stream.ok) {
            m_link->close();
            begun.failure = Uploader::tooLongText(stream);
            return begun;
        }
        connect(m_uploader, &Uploader::advanced, this, [this] {
            tell({Report::Advanced, m_run, m_set.uploadPos, false, false, {}});
        });
        connect(m_uploader, &Uploader::finished, this, &Sending::finish);
        connect(m_uploader, &Uploader::failed, this, [this](const QString &reason) {
            m_link->discardOutput();
            m_link->close();
            end(m_uploader->stoppedText(m_link->portName(), reason) + QLatin1Char(' ')
                + SetSender::tr("Check the connection, then %1.").arg(m_next.retry));
        });
        connect(m_link, &Comm::drained, this, &Sending::drained);
        // Queued, so that the link is never closed from inside its own write.
        connect(
            m_link, &Comm::lost, this, [this](const QString &reason) { m_uploader->fail(reason); },
            Qt::QueuedConnection);
        begun.ok = true;
        begun.set = m_set;
        return begun;
    }

    // Where the stopped upload had come to.
    std::int16_t stop()
    {
        if (m_uploader)
            m_uploader->stop();
        m_drainDeadline->stop();
        if (m_link) {
            m_link->discardOutput();
            m_link->close();
        }
        return m_set.uploadPos;
    }

    Pacer *pacer() const { return m_pacer; }

private:
    void tell(const Report &report)
    {
        // At once where the caller shares this thread, else in its turn
        // on the caller's.
        QMetaObject::invokeMethod(&m_caller, [caller = &m_caller, report] { caller->take(report); });
    }

    void finish()
    {
        tell({Report::Advanced, m_run, m_set.uploadPos, true, false, {}});
        // The last character is with the system; the set is sent once it
        // has left the computer, which a device that takes no more never
        // lets happen.
        m_drainDeadline->start(drainDeadlineMs(m_uploader->progress().total));
        m_link->startDrain();
    }

    void drained(bool ok)
    {
        m_drainDeadline->stop();
        const QString reason = m_link->errorString();
        m_link->close();
        if (ok)
            return tell({Report::Sent, m_run, m_set.uploadPos, false, false, {}});
        end(SetSender::tr("All %1 characters were handed to %2, but whether the last of them left the computer is not "
                          "known: %3.\n\nThe board may now hold a partial message set. Check the connection, then %4.")
                .arg(m_uploader->progress().total)
                .arg(m_link->portName(), reason, m_next.retry));
    }

    void drainTooLong()
    {
        m_link->discardOutput();
        m_link->close();
        end(SetSender::tr(
                "All %1 characters were handed to %2, but it did not take the last of them within %3 seconds, "
                "and they were thrown away.\n\nThe board may now hold a partial message set. Check the "
                "connection, then %4.")
                .arg(m_uploader->progress().total)
                .arg(m_link->portName())
                .arg((drainDeadlineMs(m_uploader->progress().total) + 999) / 1000)
                .arg(m_next.retry));
    }

    // Every way a started upload fails may be tried again.
    void end(const QString &text) { tell({Report::Failed, m_run, m_set.uploadPos, false, true, text}); }

    PortMap m_ports;
    SetSender &m_caller;
    unsigned m_run = 0;
    NextStep m_next;
    MessageSet m_set;
    Comm *m_link = nullptr;
    Pacer *m_pacer = nullptr;
    Uploader *m_uploader = nullptr;
    QTimer *m_drainDeadline = nullptr;
};

SetSender::SetSender(PortMap ports, QObject *parent, Where where)
    : QObject(parent), m_sending(new Sending(std::move(ports), *this))
{
    if (where == Where::OwnThread) {
        m_thread = new QThread(this);
        m_thread->setObjectName(QStringLiteral("sending"));
        m_sending->moveToThread(m_thread);
        // The thread sleeps between characters, so the highest priority
        // costs others nothing, and where the system honours it a busy
        // machine hands it the processor first when a character is due.
        m_thread->start(QThread::TimeCriticalPriority);
    }
    call([this] { m_sending->setUp(); });
}

SetSender::~SetSender()
{
    // The link and the clock end on the thread they ran on.
    call([this] { delete m_sending; });
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
    }
}

int SetSender::drainDeadlineMs(int characters) { return int(qint64(characters) * 10 * 1000 / 2400) + 2000; }

void SetSender::call(const std::function<void()> &work) const
{
    if (!m_thread)
        return work();
    QMetaObject::invokeMethod(m_sending, work, Qt::BlockingQueuedConnection);
}

bool SetSender::start(const MessageSet &set, const QString &port, const NextStep &next)
{
    const unsigned run = ++m_run;
    const int pace = m_tickMs;
    Sending::Begun begun;
    call([&] { begun = m_sending->start(run, set, port, next, pace); });
    // A set that did not start is still the one asked for, with no stream.
    m_set = begun.ok ? begun.set : set;
    m_pace = pace;
    m_portName = begun.portName;
    m_failure = begun.failure;
    m_retryable = begun.retryable;
    m_busy = begun.ok;
    m_draining = false;
    return begun.ok;
}

void SetSender::stop()
{
    ++m_run;
    std::int16_t at = 0;
    call([&] { at = m_sending->stop(); });
    if (m_busy)
        m_set.uploadPos = at;
    m_busy = false;
    m_draining = false;
}

Pacer *SetSender::pacer() const { return m_thread ? nullptr : m_sending->pacer(); }

void SetSender::take(const Report &report)
{
    if (report.run != m_run || !m_busy)
        return;
    m_set.uploadPos = report.uploadPos;
    switch (report.kind) {
    case Report::Advanced:
        m_draining = report.draining;
        emit advanced();
        return;
    case Report::Sent:
        m_busy = m_draining = false;
        emit sent();
        return;
    case Report::Failed:
        m_busy = m_draining = false;
        m_retryable = report.retryable;
        m_failure = report.text;
        emit failed(report.retryable, report.text);
        return;
    }
}
