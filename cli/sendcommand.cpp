// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/sendcommand.h"

#include "cli/console.h"
#include "cli/stopsignals.h"
#include "files/mesfile.h"
#include "link/portmap.h"
#include "link/setsender.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

SendCommand::SendCommand(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_sender(new SetSender(systemSerialDevices, this))
{
}

SendCommand::~SendCommand() = default;

Pacer *SendCommand::pacer() const { return m_sender->pacer(); }

const MessageSet &SendCommand::messageSet() const { return m_sender->messageSet(); }

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
    if (!m_sender->start(m_set, port, kNextStep)) {
        fail(m_sender->retryable() ? kTryAgain : kRefused,
             m_sender->failure() + QStringLiteral("\n\n") + tr("Nothing was sent."));
        return false;
    }
    return true;
}

int SendCommand::run()
{
    m_terminal = !m_options.quiet && errorsGoToTerminal();
    watchStopSignals(this, [this](int signal) { stopBy(signal); });
    if (!prepare()) {
        // A stop that came while the file or the port was looked at ends
        // the process as the stop does, not as the failure.
        QCoreApplication::processEvents();
        return m_status;
    }
    connect(m_sender, &SetSender::advanced, this, &SendCommand::showProgress);
    connect(m_sender, &SetSender::sent, this, [this] {
        if (!m_options.quiet)
            say(tr("sent %1 characters to %2.").arg(m_sender->progress().total).arg(m_sender->portName()));
        QCoreApplication::exit(m_status);
    });
    connect(m_sender, &SetSender::failed, this, [this](bool, const QString &text) {
        fail(kTryAgain, text);
        QCoreApplication::exit(m_status);
    });
    if (!m_options.quiet) {
        say(tr("sending %1 to %2: %3 characters, one every half second.")
                .arg(QDir::toNativeSeparators(m_options.file), m_sender->portName())
                .arg(m_sender->progress().total));
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
    const QString line = progressLine(m_sender->progress());
    const qsizetype pad = std::max<qsizetype>(0, m_lineWidth - line.size());
    printText(stderr, QLatin1Char('\r') + line + QString(pad, u' '));
    m_lineWidth = std::max(m_lineWidth, line.size());
}

void SendCommand::stopBy(int signal)
{
    const bool uploading = m_sender->busy() && !m_sender->draining();
    const bool draining = m_sender->draining();
    m_sender->stop();
    if (uploading) {
        const upload::Progress p = m_sender->progress();
        say(tr("stopped after %1 of %2 characters to %3. The board may now hold a partial message set; "
               "%4 to send the whole set.")
                .arg(p.sent)
                .arg(p.total)
                .arg(m_sender->portName(), kNextStep.retry));
    } else if (draining) {
        say(tr("stopped before the last characters to %1 had left the computer. The board may now hold a partial "
               "message set; %2 to send the whole set.")
                .arg(m_sender->portName(), kNextStep.retry));
    }
    endAs(signal);
}
