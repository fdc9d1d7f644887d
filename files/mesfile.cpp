// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/mesfile.h"

#include "model/systemreason.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>
#include <QStringDecoder>

#include <optional>

namespace mesfile {

namespace {

QByteArray line(const QString &text) { return text.toUtf8() + "\r\n"; }

// One line with its line end, or as much of it as shows that it is longer
// than `limit` bytes with its line end. Read in small pieces, so that a
// short line costs little.
QByteArray readBoundedLine(QIODevice &device, qint64 limit)
{
    QByteArray bytes;
    while (!bytes.endsWith('\n') && bytes.size() <= limit) {
        const QByteArray piece = device.readLine(qMin<qint64>(4096, limit + 1 - bytes.size()) + 1);
        if (piece.isEmpty())
            break;
        bytes += piece;
    }
    return bytes;
}

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QString tr(const char *text) { return QCoreApplication::translate("mesfile", text); }

QString reasonOf(const QFileDevice &file) { return systemReason(file.errorString()); }

}  // namespace

QByteArray encode(const MessageSet &set)
{
    QByteArray bytes;
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        bytes += line(u'x' + set.messageText[slot]);
    for (int input = 1; input <= MessageSet::kInputs; ++input)
        bytes += line(set.triggerOnOpen[input] ? QStringLiteral("1") : QStringLiteral("0"));
    bytes += line(set.portText);
    return bytes;
}

bool write(QIODevice &device, const MessageSet &set)
{
    const QByteArray bytes = encode(set);
    return device.write(bytes) == bytes.size();
}

std::optional<bool> parseLevel(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    bool negative = false;
    if (begin < end && (text[begin] == u'+' || text[begin] == u'-')) {
        negative = text[begin] == u'-';
        ++begin;
    }
    if (begin == end)
        return std::nullopt;
    // Compared digit by digit, so no number is too large to read.
    qsizetype firstSignificant = end;
    for (qsizetype i = begin; i < end; ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return std::nullopt;
        if (firstSignificant == end && text[i] != u'0')
            firstSignificant = i;
    }
    return !negative && firstSignificant == end - 1 && text[end - 1] == u'1';
}

std::variant<Contents, Error> read(QIODevice &device)
{
    std::array<QByteArray, kLines> raw;
    for (int n = 0; n < kLines; ++n) {
        QByteArray bytes = readBoundedLine(device, kMaxLineBytes + 2);  // the text, CR, LF
        if (bytes.isEmpty()) {
            if (n == 0)
                return Error{0, QStringLiteral("the file is empty")};
            return Error{n + 1,
                         QStringLiteral("the file ends after line %1; a message set has %2 lines").arg(n).arg(kLines)};
        }
        if (bytes.endsWith('\n'))
            bytes.chop(1);
        else if (!device.atEnd())
            bytes.append('\0');  // cut off mid-line: too long, whatever it holds
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        if (bytes.size() > kMaxLineBytes) {
            return Error{n + 1, QStringLiteral("the line is longer than %1 KiB").arg(kMaxLineBytes / 1024)};
        }
        raw[n] = std::move(bytes);
    }
    if (raw[0].startsWith("\xEF\xBB\xBF"))
        raw[0].remove(0, 3);

    std::array<QString, kLines> text;
    bool validUtf8 = true;
    for (int n = 0; n < kLines; ++n) {
        // Stateless: a sequence cut off at a line's end is an error, not
        // something to finish with the next line's bytes.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
        text[n] = utf8(raw[n]);
        validUtf8 = validUtf8 && !utf8.hasError();
    }
    if (!validUtf8) {
        for (int n = 0; n < kLines; ++n)
            text[n] = QString::fromLatin1(raw[n]);
    }

    Contents contents;
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot) {
        const QString &item = text[slot - 1];
        if (item.isEmpty()) {
            return Error{slot, QStringLiteral("the message line is empty; it should hold \"x\" "
                                              "followed by the message")};
        }
        // A CR inside a message would end its record early on the board.
        if (item.contains(u'\r'))
            return Error{slot, QStringLiteral("the message holds a carriage return")};
        // The first character goes whole, even where it takes two UTF-16
        // units: half of one would leave a broken text behind.
        const bool pair = item.size() > 1 && item[0].isHighSurrogate() && item[1].isLowSurrogate();
        contents.messageText[slot] = item.mid(pair ? 2 : 1);
    }
    for (int input = 1; input <= MessageSet::kInputs; ++input) {
        const int n = MessageSet::kSlots + input;
        const std::optional<bool> open = parseLevel(text[n - 1]);
        if (!open) {
            return Error{
                n,
                QStringLiteral("the level of input %1 is not a number: \"%2\"").arg(input).arg(text[n - 1].left(40))};
        }
        contents.levelText[input] = text[n - 1];
        contents.triggerOnOpen[input] = *open;
    }
    contents.portText = text[kLines - 1];
    return contents;
}

std::variant<Contents, Error> load(const QString &path)
{
    if (QFileInfo(path).isDir())
        return Error{0, tr("it is a folder")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error{0, reasonOf(file)};
    return read(file);
}

QString describe(const QString &path, const Error &error)
{
    const QString name = QDir::toNativeSeparators(path);
    return error.line > 0 ? tr("Could not load %1: line %2: %3.").arg(name).arg(error.line).arg(error.what)
                          : tr("Could not load %1: %2.").arg(name, error.what);
}

void apply(const Contents &contents, MessageSet &set)
{
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        set.messageText[slot] = typedText(contents.messageText[slot]);
    for (int input = 1; input <= MessageSet::kInputs; ++input) {
        set.levelText[input] = contents.levelText[input];
        set.triggerOnOpen[input] = contents.triggerOnOpen[input];
    }
    set.portText = contents.portText;
}

QString save(const QString &path, const MessageSet &set)
{
    QSaveFile file(path);
    // Unbuffered, so that a short write (a full disk, a file size limit)
    // shows here. Buffered, it would surface only while commit() closes the
    // file, and commit() would then put the cut-off file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return reasonOf(file);
    const QByteArray bytes = encode(set);
    const qint64 written = file.write(bytes);
    if (written != bytes.size()) {
        const QString reason = written < 0 ? reasonOf(file)
                                           : QStringLiteral("only %1 of its %2 bytes could be written; the disk "
                                                            "may be full, or the file too large")
                                                 .arg(written)
                                                 .arg(bytes.size());
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return reasonOf(file);
    return {};
}

}  // namespace mesfile
