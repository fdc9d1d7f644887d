// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/setstore.h"

#include "files/mesfile.h"
#include "service/statefolder.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>

namespace {

// Control characters would end the file's line, or be no text at all.
bool hasControl(const QString &text)
{
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

SetStore::Set fromContents(const QString &name, const mesfile::Contents &contents, const QByteArray &file)
{
    MessageSet loaded;
    mesfile::apply(contents, loaded);
    SetStore::Set set;
    set.name = name;
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        set.messages[size_t(slot - 1)] = loaded.messageText[size_t(slot)];
    for (int input = 1; input <= MessageSet::kInputs; ++input)
        set.open[size_t(input - 1)] = loaded.triggerOnOpen[size_t(input)];
    set.port = loaded.portText;
    set.version = SetStore::versionOf(file);
    return set;
}

}  // namespace

bool SetStore::isSetName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[\\p{L}\\p{N} _-]{1,40}$"));
    return shape.match(name).hasMatch() && name.trimmed() == name;
}

bool SetStore::has(const QString &name) const
{
    return isSetName(name) && QFileInfo::exists(m_state.path() + QLatin1Char('/') + fileName(name));
}

QByteArray SetStore::versionOf(const QByteArray &file)
{
    return QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex().left(32);
}

QList<std::pair<QString, QByteArray>> SetStore::list()
{
    QList<std::pair<QString, QByteArray>> sets;
    for (QString file : m_state.list(QStringLiteral("sets"), QStringLiteral(".mes"))) {
        file.chop(4);
        if (!isSetName(file))
            continue;
        const QByteArray bytes = m_state.read(fileName(file));
        if (!bytes.isNull())
            sets.append({file, versionOf(bytes)});
    }
    return sets;
}

QByteArray SetStore::file(const QString &name, Refusal *refusal)
{
    if (!isSetName(name)) {
        *refusal = {400, QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _.")};
        return {};
    }
    bool exists = false;
    const QByteArray bytes = m_state.read(fileName(name), &exists);
    if (bytes.isNull())
        *refusal = {500, m_state.error()};
    else if (!exists)
        *refusal = {404, QStringLiteral("There is no set named \"%1\".").arg(name)};
    return exists ? bytes : QByteArray();
}

std::optional<SetStore::Set> SetStore::get(const QString &name, Refusal *refusal)
{
    const QByteArray bytes = file(name, refusal);
    if (*refusal)
        return std::nullopt;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const auto read = mesfile::read(buffer);
    if (const auto *error = std::get_if<mesfile::Error>(&read)) {
        *refusal = {
            500,
            QStringLiteral("The set \"%1\" cannot be read: line %2: %3.").arg(name).arg(error->line).arg(error->what)};
        return std::nullopt;
    }
    return fromContents(name, std::get<mesfile::Contents>(read), bytes);
}

QByteArray SetStore::store(const QString &name, const QByteArray &bytes, const std::optional<QByteArray> &ifMatch,
                           bool createOnly, Refusal *refusal)
{
    bool exists = false;
    const QByteArray current = m_state.read(fileName(name), &exists);
    if (current.isNull()) {
        *refusal = {500, m_state.error()};
        return {};
    }
    if (createOnly && exists) {
        *refusal = {412, QStringLiteral("A set named \"%1\" exists already.").arg(name)};
        return {};
    }
    if (!createOnly && !ifMatch) {
        *refusal = {428, QStringLiteral("Say which version of the set this edit began from (If-Match), or that it "
                                        "is a new set (If-None-Match: *).")};
        return {};
    }
    if (ifMatch && (!exists || versionOf(current) != *ifMatch)) {
        *refusal = {412, exists
                             ? QStringLiteral("Someone else has changed the set \"%1\" since it was opened.").arg(name)
                             : QStringLiteral("The set \"%1\" has been deleted since it was opened.").arg(name)};
        return {};
    }
    if (!m_state.write(fileName(name), bytes)) {
        *refusal = {500, m_state.error()};
        return {};
    }
    return versionOf(bytes);
}

QByteArray SetStore::put(const QString &name, const Set &set, const std::optional<QByteArray> &ifMatch, bool createOnly,
                         Refusal *refusal)
{
    if (!isSetName(name)) {
        *refusal = {400, QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _.")};
        return {};
    }
    return store(name, mesfile::encode(messageSet(set)), ifMatch, createOnly, refusal);
}

QByteArray SetStore::import(const QString &name, const QByteArray &file, const std::optional<QByteArray> &ifMatch,
                            bool createOnly, Refusal *refusal)
{
    if (!isSetName(name)) {
        *refusal = {400, QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _.")};
        return {};
    }
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    const auto read = mesfile::read(buffer);
    if (const auto *error = std::get_if<mesfile::Error>(&read)) {
        *refusal = {400, QStringLiteral("This is no message file: line %1: %2.").arg(error->line).arg(error->what)};
        return {};
    }
    Set set = fromContents(name, std::get<mesfile::Contents>(read), file);
    return put(name, set, ifMatch, createOnly, refusal);
}

bool SetStore::remove(const QString &name, const QByteArray &ifMatch, Refusal *refusal)
{
    const QByteArray current = file(name, refusal);
    if (*refusal)
        return false;
    if (versionOf(current) != ifMatch) {
        *refusal = {412, QStringLiteral("Someone else has changed the set \"%1\" since it was opened.").arg(name)};
        return false;
    }
    if (!m_state.remove(fileName(name))) {
        *refusal = {500, m_state.error()};
        return false;
    }
    return true;
}

std::optional<SetStore::Set> SetStore::fromJson(const QJsonObject &json, Refusal *refusal)
{
    const auto refuse = [&](const QString &why) {
        *refusal = {400, why};
        return std::nullopt;
    };
    Set set;
    const QJsonValue messages = json.value(QLatin1String("messages"));
    if (!messages.isArray() || messages.toArray().size() != MessageSet::kSlots)
        return refuse(QStringLiteral("messages: nine texts, the idle message last."));
    for (int i = 0; i < MessageSet::kSlots; ++i) {
        const QJsonValue message = messages.toArray().at(i);
        const QString text = message.toString();
        if (!message.isString())
            return refuse(QStringLiteral("messages[%1]: a text.").arg(i));
        if (typedText(text) != text)
            return refuse(QStringLiteral("messages[%1]: at most %2 characters.").arg(i).arg(MessageSet::kMaxTyped));
        if (hasControl(text))
            return refuse(QStringLiteral("messages[%1]: no line breaks or control characters.").arg(i));
        set.messages[size_t(i)] = text;
    }
    const QJsonValue levels = json.value(QLatin1String("levels"));
    if (!levels.isArray() || levels.toArray().size() != MessageSet::kInputs)
        return refuse(QStringLiteral("levels: eight levels, 0 or 1."));
    for (int i = 0; i < MessageSet::kInputs; ++i) {
        const QJsonValue level = levels.toArray().at(i);
        if (!level.isDouble() || (level.toDouble() != 0 && level.toDouble() != 1))
            return refuse(QStringLiteral("levels[%1]: 0 or 1.").arg(i));
        set.open[size_t(i)] = level.toDouble() == 1;
    }
    const QJsonValue port = json.value(QLatin1String("port"));
    if (!port.isUndefined() && !port.isString())
        return refuse(QStringLiteral("port: a text."));
    set.port = port.isString() ? port.toString() : QStringLiteral("1");
    if (set.port.size() > 64 || hasControl(set.port))
        return refuse(QStringLiteral("port: at most 64 characters, on one line."));
    return set;
}

MessageSet SetStore::messageSet(const Set &set)
{
    MessageSet record;
    giveStartValues(record);
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        record.messageText[size_t(slot)] = set.messages[size_t(slot - 1)];
    for (int input = 1; input <= MessageSet::kInputs; ++input)
        record.triggerOnOpen[size_t(input)] = set.open[size_t(input - 1)];
    record.portText = set.port;
    return record;
}

QJsonObject SetStore::toJson(const Set &set)
{
    QJsonArray messages, levels;
    for (const QString &message : set.messages)
        messages.append(message);
    for (bool open : set.open)
        levels.append(open ? 1 : 0);
    return {{"name", set.name},
            {"messages", messages},
            {"levels", levels},
            {"port", set.port},
            {"version", QString::fromLatin1(set.version)}};
}
