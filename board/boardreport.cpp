// SPDX-License-Identifier: GPL-3.0-or-later
#include "board/boardreport.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("BoardReport", text); }

}  // namespace

namespace boardtext {

QStringList storedSet(const BoardInterpreter &board)
{
    QStringList lines;
    for (int s = 1; s <= 9; ++s) {
        const QString level = s == 9 ? tr("idle   ") : tr("level %1").arg(board.openLevels()[size_t(s)] ? 1 : 0);
        lines << QStringLiteral("%1  %2  %3").arg(s).arg(level, board.messages()[size_t(s)]);
    }
    return lines;
}

QString lineSettings(const QString &settings)
{
    return settings == QLatin1String("2400 8N1") ? tr("Line settings: %1, as the board expects").arg(settings)
                                                 : tr("Line settings: %1; the board expects 2400 8N1").arg(settings);
}

QString smallestGap(const BoardInterpreter &board)
{
    const auto gap = board.smallestGapMs();
    if (!gap)
        return tr("Smallest gap between characters: none yet");
    return board.tooFast() ? tr("Smallest gap between characters: %1 ms, under the board's 500 ms").arg(*gap, 0, 'f', 1)
                           : tr("Smallest gap between characters: %1 ms").arg(*gap, 0, 'f', 1);
}

QString protocol(const BoardInterpreter &board)
{
    return !board.protocolError().isEmpty() ? tr("Protocol fault: %1").arg(board.protocolError())
           : board.complete()               ? tr("Protocol: the whole set arrived")
           : board.received().isEmpty()     ? tr("Protocol: waiting for an upload")
                                            : tr("Protocol: no fault so far");
}

}  // namespace boardtext

QStringList BoardReport::update(const BoardInterpreter &board, const QString &settings)
{
    QStringList lines;
    const qsizetype received = board.received().size();
    // The interpreter starts its count again with each upload.
    if (received > 0 && (received < m_seen || m_seen == 0)) {
        lines << tr("An upload has begun. %1").arg(boardtext::lineSettings(settings));
        m_toldFast = m_toldEnd = m_toldQuiet = false;
    } else if (received > m_seen && m_toldQuiet) {
        lines << tr("More has arrived: the upload goes on.");
        m_toldQuiet = false;
    }
    m_seen = received;
    if (board.tooFast() && !m_toldFast) {
        lines << boardtext::smallestGap(board);
        m_toldFast = true;
    }
    if (!m_toldEnd && (board.complete() || !board.protocolError().isEmpty())) {
        lines << held(board, boardtext::protocol(board));
        m_toldEnd = true;
    }
    return lines;
}

QStringList BoardReport::quiet(const BoardInterpreter &board)
{
    if (m_toldEnd || m_toldQuiet || board.received().isEmpty())
        return {};
    m_toldQuiet = true;
    const qsizetype count = board.received().size();
    return held(board, (count == 1 ? tr("Nothing more has arrived after 1 character: the upload ended short.")
                                   : tr("Nothing more has arrived after %1 characters: the upload ended short, and "
                                        "the board keeps the records that arrived whole.")
                                         .arg(count)));
}

QStringList BoardReport::held(const BoardInterpreter &board, const QString &how)
{
    QStringList lines{how, boardtext::smallestGap(board), tr("The board holds:")};
    for (const QString &line : boardtext::storedSet(board))
        lines << QStringLiteral("  ") + line;
    return lines;
}
