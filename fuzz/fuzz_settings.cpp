// SPDX-License-Identifier: GPL-3.0-or-later
// Any text goes to the parser of the line settings. What it accepts must be
// in range, and must read the same when written out again.
#include "link/comm.h"

#include <cstdint>
#include <cstdlib>

namespace {

QString format(const LineSettings &s)
{
    static const char parity[] = {'N', '?', 'E', 'O', 'S', 'M'};
    const QString stop = s.stopBits == QSerialPort::OneStop   ? QStringLiteral("1")
                         : s.stopBits == QSerialPort::TwoStop ? QStringLiteral("2")
                                                              : QStringLiteral("1.5");
    return QStringLiteral("%1,%2,%3,%4").arg(s.baud).arg(QChar(parity[s.parity])).arg(int(s.dataBits)).arg(stop);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto parsed = parseLineSettings(text);
    if (!parsed)
        return 0;
    if (parsed->baud <= 0 || parsed->dataBits < QSerialPort::Data5 || parsed->dataBits > QSerialPort::Data8
        || parsed->parity == 1 || parsed->parity < 0 || parsed->parity > QSerialPort::MarkParity)
        std::abort();
    const auto again = parseLineSettings(format(*parsed));
    if (!again || !(*again == *parsed))
        std::abort();
    return 0;
}
