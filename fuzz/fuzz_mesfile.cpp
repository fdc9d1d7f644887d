// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes at all go to the message file reader. It must neither crash nor
// read past its bounds, and whatever it accepts must come back unchanged
// after a save and a second read.
#include "files/mesfile.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

namespace {

mesfile::Contents readOrDie(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    auto result = mesfile::read(buffer);
    if (!std::holds_alternative<mesfile::Contents>(result))
        std::abort();  // a file the program wrote was refused
    return std::get<mesfile::Contents>(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char *>(data), qsizetype(size));
    buffer.open(QIODevice::ReadOnly);
    const auto result = mesfile::read(buffer);
    if (buffer.pos() > mesfile::kLines * (mesfile::kMaxLineBytes + 2))
        std::abort();  // read more than 18 bounded lines
    if (const auto *error = std::get_if<mesfile::Error>(&result)) {
        if (error->line < 0 || error->line > mesfile::kLines || error->what.isEmpty())
            std::abort();
        return 0;
    }

    const auto &contents = std::get<mesfile::Contents>(result);
    MessageSet set;
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        set.messageText[slot] = contents.messageText[slot];
    for (int input = 1; input <= MessageSet::kInputs; ++input)
        set.triggerOnOpen[input] = contents.triggerOnOpen[input];
    set.portText = contents.portText;

    const mesfile::Contents again = readOrDie(mesfile::encode(set));
    if (again.messageText != contents.messageText || again.triggerOnOpen != contents.triggerOnOpen
        || again.portText != contents.portText)
        std::abort();
    return 0;
}
