// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/handovertrace.h"
#include "link/upload.h"

#include <QObject>

class Comm;
class Pacer;

// An upload on a link that is already open: the set's stream, one
// character per tick of the pacer, counted in the set's uploadPos. The
// window and the command line both drive it; each opens the link, connects
// the pacer's ticks to tick(), and reports what the signals say.
class Uploader : public QObject {
    Q_OBJECT
public:
    // Each character handed to the link goes into the trace, which is the
    // one PELORIN_HANDOVER_TRACE names unless another is given.
    Uploader(MessageSet &set, Comm &link, Pacer &pacer, QObject *parent = nullptr,
             HandOverTrace &trace = HandOverTrace::process());

    // Builds the stream and starts the pacer: the first character leaves
    // one interval from now. A stream too long to send is refused, and
    // nothing starts.
    upload::Begun start();
    bool running() const;
    // Writes the character that is due.
    void tick();
    // Stops the upload with the reason, if one is running or its last
    // characters are not yet confirmed as written; the characters before
    // uploadPos have gone out.
    void fail(const QString &reason);
    // Stops where it is, without a word.
    void stop();
    upload::Progress progress() const;
    // Why a set was not sent, for start() refusing it.
    static QString tooLongText(const upload::Begun &begun);
    // For a failed upload: "The upload to WHERE stopped after N of M
    // characters: REASON.", and that the board may hold a partial set.
    QString stoppedText(const QString &where, const QString &reason) const;

signals:
    void advanced();  // a character went out, and more are to come
    void finished();  // the last character went out
    void failed(const QString &reason);

private:
    MessageSet &m_set;
    Comm &m_link;
    Pacer &m_pacer;
    HandOverTrace &m_trace;
    bool m_unsettled = false;  // started, and neither stopped nor failed
};
