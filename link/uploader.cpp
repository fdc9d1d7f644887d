// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/uploader.h"

#include "link/comm.h"
#include "link/pacer.h"

#include <algorithm>

Uploader::Uploader(MessageSet &set, Comm &link, Pacer &pacer, QObject *parent, HandOverTrace &trace)
    : QObject(parent), m_set(set), m_link(link), m_pacer(pacer), m_trace(trace)
{
}

upload::Begun Uploader::start()
{
    const upload::Begun begun = upload::begin(m_set);
    if (begun.ok)
        m_pacer.start();
    m_unsettled = begun.ok;
    return begun;
}

bool Uploader::running() const { return m_pacer.isActive(); }

void Uploader::tick()
{
    const char byte = upload::nextByte(m_set);
    if (!m_link.write(byte)) {
        fail(m_link.errorString());
        return;
    }
    // The next character is timed from the moment this one was handed
    // over, not from when this tick was due: a late tick pushes the rest
    // of the stream back instead of bringing the next character early.
    m_pacer.start();
    // Recorded by the reading that let the character go, taken before its
    // write, as the next one's is taken no sooner than an interval after
    // this write. Written once the next is timed, the line delays nothing.
    m_trace.record(m_pacer.tickedAt(), byte);
    if (upload::advance(m_set)) {
        m_pacer.stop();
        emit finished();
    } else {
        emit advanced();
    }
}

void Uploader::fail(const QString &reason)
{
    // Once the last character is written the pacer has stopped, but where
    // writes complete later, as on Windows, the last may yet fail: that
    // failure is the upload's too. One after every write was confirmed,
    // or after a failure was reported, is not.
    if (!m_unsettled || (!running() && m_link.unconfirmed() == 0))
        return;
    m_unsettled = false;
    m_pacer.stop();
    // A write that the system had not yet confirmed is the one that failed:
    // it did not go out.
    m_set.uploadPos = std::int16_t(std::max(1, m_set.uploadPos - m_link.unconfirmed()));
    emit failed(reason);
}

void Uploader::stop()
{
    m_pacer.stop();
    m_unsettled = false;
}

upload::Progress Uploader::progress() const { return upload::progress(m_set, m_pacer.interval()); }

QString Uploader::stoppedText(const QString &where, const QString &reason) const
{
    const upload::Progress p = progress();
    return tr("The upload to %1 stopped after %2 of %3 characters: %4.\n\n"
              "The board may now hold a partial message set.")
        .arg(where)
        .arg(p.sent)
        .arg(p.total)
        .arg(reason);
}

QString Uploader::tooLongText(const upload::Begun &begun)
{
    return tr("The messages are too long to send: the upload would be %1 characters, and at most %2 can be sent.")
        .arg(begun.length)
        .arg(upload::kMaxStreamLength);
}
