// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QString>

#include <chrono>

// The upload's own account of when it handed each character to the
// device, for the checks that judge its pacing from outside. A reader of
// the device sees the system's delivery too, which a busy machine delays
// for one byte and not the next, so that two characters can arrive closer
// than they were handed over; the hand-overs are what pelorin promises.
//
// When PELORIN_HANDOVER_TRACE names a file, each character handed over
// adds a line to it: the steady clock's reading that let the character go,
// in seconds to the nanosecond, and the byte in two hex digits, as
// "8215.500004117 31". Lines are added to what the file holds, each in one
// write of its own.
class HandOverTrace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char *kVariable = "PELORIN_HANDOVER_TRACE";

    // Traces into the file at path, or nothing for an empty path. A file
    // that cannot be opened is said once on standard error, with the
    // system's reason; the upload goes on untraced.
    explicit HandOverTrace(const QString &path);
    // The file that PELORIN_HANDOVER_TRACE names, opened at the first call
    // and kept for the rest of the process.
    static HandOverTrace &process();

    HandOverTrace(const HandOverTrace &) = delete;
    HandOverTrace &operator=(const HandOverTrace &) = delete;

    bool isOn() const { return m_file.isOpen(); }
    // The first write that fails is said, and the trace ends there.
    void record(Clock::time_point at, char byte);

private:
    void refuse();

    QFile m_file;
};
