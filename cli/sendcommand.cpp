// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include "cli/console.h"
#include "files/mesfile.h"
#include "link/comm.h"
#include "link/pacer.h"
#include "link/portmap.h"
#include "link/uploader.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

SendCommand::SendCommand(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_pacer(new Pacer(this))
{
    connect(m_pacer, &Pacer::timeout, this, [this] { m_uploader->tick(); });
    m_drainDeadline.setSingleShot(true);
    connect(&m_drainDeadline, &QTimer::timeout, this, &SendCommand::drainTooLong);
}

SendCommand::~SendCommand() = default;

int SendCommand::drainDeadlineMs(int characters) { return int(qint64(characters) * 10 * 1000 / 2400) + 2000; }

QString SendCommand::progressLine(const upload::Progress &progress)
{
    constexpr int kBar = 20;
    const int filled = progress.total > 0 ? int(qint64(progress.sent) * kBar / progress.total) : 0;
    return QStringLiteral("[%1%2] %3")
        .arg(QString(filled, u'#'), QString(kBar - filled, u'-'), upload::describe(progress));
}

void SendCommand::say(const QString &text)
{
    // The progress line stays as it last was; what follows goes below it.
    printText(stderr, (m_lineWidth > 0 ? QStringLiteral("\npelorin: ") : QStringLiteral("pelorin: ")) + text
                          + QLatin1Char('\n'));
    m_lineWidth = 0;
}

void SendCommand::fail(int status, const QString &text)
{
    say(text);
    m_status = status;
}

bool SendCommand::prepare()
{
    const auto read = mesfile::load(m_options.file);
    if (const auto *error = std::get_if<mesfile::Error>(&read)) {
        fail(kRefused, mesfile::describe(m_options.file, *error) + QStringLiteral("\n\n") + tr("Nothing was sent."));
        return false;
    }
    giveStartValues(m_set);
    mesfile::apply(std::get<mesfile::Contents>(read), m_set);

    QString port = m_options.port.isEmpty() ? m_set.portText : m_options.port;
    if (m_options.port.isEmpty() && portNumber(port) == 0) {
        const QString name = QDir::toNativeSeparators(m_options.file);
        fail(kRefused,
             (port.isEmpty() ? tr("%1 names no port.").arg(name)
                             : tr("%1 names port \"%2\", which is not one from 1 to 4.").arg(name, port))
                 + QLatin1Char(' ')
                 + tr("Give the port with --port: a number from 1 to 4, or a device such as %1.").arg(deviceExample())
                 + QStringLiteral("\n\n") + tr("Nothing was sent."));
        return false;
    }
    // The system's devices, whether the port is a number or a name: where
    // it is missing, they are what the user may use instead.
    m_link = new Comm(systemSerialDevices, this);
    m_link->lookUpDevices();
    if (portNumber(port) > 0)
        m_link->setCommPort(std::int16_t(portNumber(port)));
    else
        m_link->setDevice(port);
    m_link->setSettings(QLatin1String(upload::kLineSettings));
    if (!m_link->open()) {
        const Diagnosis &why = m_link->failure();
        fail(why.retryable() ? kTryAgain : kRefused,
             why.text(kNextStep) + QStringLiteral("\n\n") + tr("Nothing was sent."));
        return false;
    }

    m_pacer->setInterval(upload::kTickMs);
    m_uploader = new Uploader(m_set, *m_link, *m_pacer, this);
    const upload::Begun begun = m_uploader->start();
    if (!begun.ok) {
        fail(kRefused, Uploader::tooLongText(begun));
        return false;
    }
    return true;
}

int SendCommand::run()
{
    m_terminal = !m_options.quiet && errorsGoToTerminal();
    watchForStop([this](int signal) { stopBy(signal); });
    if (!prepare()) {
        if (m_link)
            m_link->close();
        // A stop that came while the file or the port was looked at ends
        // the process as the stop does, not as the failure.
        QCoreApplication::processEvents();
        return m_status;
    }
    connect(m_uploader, &Uploader::advanced, this, &SendCommand::showProgress);
    connect(m_uploader, &Uploader::finished, this, &SendCommand::finish);
    connect(m_uploader, &Uploader::failed, this, [this](const QString &reason) {
        m_link->discardOutput();
        m_link->close();
        fail(kTryAgain, m_uploader->stoppedText(m_link->portName(), reason) + QLatin1Char(' ')
                            + tr("Check the connection, then %1.").arg(kNextStep.retry));
        QCoreApplication::exit(m_status);
    });
    connect(m_link, &Comm::drained, this, &SendCommand::drained);
    // Queued, so that the link is never closed from inside its own write.
    connect(
        m_link, &Comm::lost, this, [this](const QString &reason) { m_uploader->fail(reason); }, Qt::QueuedConnection);

    if (!m_options.quiet) {
        const upload::Progress p = m_uploader->progress();
        say(tr("sending %1 to %2: %3 characters, one every half second.")
                .arg(QDir::toNativeSeparators(m_options.file), m_link->portName())
                .arg(p.total));
    }
    showProgress();
    return QCoreApplication::exec();
}

void SendCommand::showProgress()
{
    if (!m_terminal)
        return;
    // Drawn over the last one: back to the line's start, and blanks over
    // whatever the longer line before left.
    const QString line = progressLine(m_uploader->progress());
    const qsizetype pad = std::max<qsizetype>(0, m_lineWidth - line.size());
    printText(stderr, QLatin1Char('\r') + line + QString(pad, u' '));
    m_lineWidth = std::max(m_lineWidth, line.size());
}

void SendCommand::finish()
{
    showProgress();
    // The last character is with the system; the set is sent once it has
    // left the computer, which a device that takes no more never lets
    // happen.
    m_drainDeadline.start(drainDeadlineMs(m_uploader->progress().total));
    m_link->startDrain();
}

void SendCommand::drained(bool ok)
{
    m_drainDeadline.stop();
    const QString reason = m_link->errorString();
    m_link->close();
    if (!ok) {
        fail(kTryAgain, tr("All %1 characters were handed to %2, but whether the last of them left the computer is not "
                           "known: %3.\n\nThe board may now hold a partial message set. Check the connection, then %4.")
                            .arg(m_uploader->progress().total)
                            .arg(m_link->portName(), reason, kNextStep.retry));
    } else if (!m_options.quiet) {
        say(tr("sent %1 characters to %2.").arg(m_uploader->progress().total).arg(m_link->portName()));
    }
    QCoreApplication::exit(m_status);
}

void SendCommand::drainTooLong()
{
    m_link->discardOutput();
    m_link->close();
    fail(kTryAgain, tr("All %1 characters were handed to %2, but it did not take the last of them within %3 seconds, "
                       "and they were thrown away.\n\nThe board may now hold a partial message set. Check the "
                       "connection, then %4.")
                        .arg(m_uploader->progress().total)
                        .arg(m_link->portName())
                        .arg((drainDeadlineMs(m_uploader->progress().total) + 999) / 1000)
                        .arg(kNextStep.retry));
    QCoreApplication::exit(m_status);
}

void SendCommand::stopBy(int signal)
{
    const bool uploading = m_uploader && m_uploader->running();
    const bool draining = m_drainDeadline.isActive();
    if (uploading)
        m_uploader->stop();
    if (m_link) {
        m_link->discardOutput();
        m_link->close();
    }
    if (uploading) {
        const upload::Progress p = m_uploader->progress();
        say(tr("stopped after %1 of %2 characters to %3. The board may now hold a partial message set; "
               "%4 to send the whole set.")
                .arg(p.sent)
                .arg(p.total)
                .arg(m_link->portName(), kNextStep.retry));
    } else if (draining) {
        say(tr("stopped before the last characters to %1 had left the computer. The board may now hold a partial "
               "message set; %2 to send the whole set.")
                .arg(m_link->portName(), kNextStep.retry));
    }
    endAs(signal);
}
