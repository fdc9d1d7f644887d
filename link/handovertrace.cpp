// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/handovertrace.h"

#include "model/systemreason.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

HandOverTrace::HandOverTrace(const QString &path) : m_file(path)
{
    if (path.isEmpty())
        return;
    // Unbuffered, each line goes to the file in one write of its own: a
    // process that is stopped leaves whole lines, and nothing waits in a
    // buffer for a check that reads the file while the program runs. A
    // device or a pipe cannot be added to, and is written as it comes.
    const QFileInfo info(path);
    const QIODevice::OpenMode adding = !info.exists() || info.isFile() ? QIODevice::Append : QIODevice::NotOpen;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered | adding))
        refuse();
}

HandOverTrace &HandOverTrace::process()
{
    static HandOverTrace trace(qEnvironmentVariable(kVariable));
    return trace;
}

void HandOverTrace::record(Clock::time_point at, char byte)
{
    if (!m_file.isOpen())
        return;
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    const QByteArray line = QByteArray::number(qlonglong(since / 1'000'000'000)) + '.'
                            + QByteArray::number(qlonglong(since % 1'000'000'000)).rightJustified(9, '0') + ' '
                            + QByteArray::number(uint(static_cast<unsigned char>(byte)), 16).rightJustified(2, '0')
                            + '\n';
    if (m_file.write(line) != line.size()) {
        refuse();
        m_file.close();
    }
}

void HandOverTrace::refuse()
{
    qWarning().noquote() << QStringLiteral("pelorin: the hand-over trace %1 cannot be written (%2); the upload goes on "
                                           "without it")
                                .arg(QDir::toNativeSeparators(m_file.fileName()), systemReason(m_file.errorString()));
}
