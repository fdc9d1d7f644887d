// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/keys.h"

#include "service/secrets.h"
#include "service/statefolder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {

// Scripts' keys begin so, which tells them from a session's cookie in a
// log or a script at a glance.
const QByteArray kPrefix = "pelorin_";

}  // namespace

std::optional<KeyStore::Scope> KeyStore::scopeNamed(const QString &name)
{
    if (name == QLatin1String("send"))
        return Scope::Send;
    if (name == QLatin1String("edit"))
        return Scope::Edit;
    return std::nullopt;
}

QString KeyStore::scopeName(Scope scope)
{
    return scope == Scope::Edit ? QStringLiteral("edit") : QStringLiteral("send");
}

bool KeyStore::isKeyName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9._-]{1,32}$"));
    return shape.match(name).hasMatch();
}

QByteArray KeyStore::make(const QString &name, Scope scope, const QDateTime &expires, const QDateTime &now)
{
    if (!isKeyName(name) || std::any_of(m_keys.begin(), m_keys.end(), [&](const Key &k) { return k.name == name; }))
        return {};
    const QByteArray text = kPrefix + secrets::make();
    m_keys.append(
        {name, scope, now.toUTC(), expires.isValid() ? expires.toUTC() : QDateTime(), {}, secrets::hashOf(text)});
    return text;
}

std::optional<KeyStore::Key> KeyStore::use(const QByteArray &text, const QDateTime &now)
{
    if (text.size() != kPrefix.size() + secrets::kLength || !text.startsWith(kPrefix))
        return std::nullopt;
    const QByteArray hash = secrets::hashOf(text);
    // Every key is compared, found or not, so the time says nothing of
    // which came close.
    Key *found = nullptr;
    for (Key &key : m_keys) {
        if (secrets::sameHash(key.hash, hash))
            found = &key;
    }
    if (!found || (found->expires.isValid() && now >= found->expires))
        return std::nullopt;
    found->lastUsed = now.toUTC();
    return *found;
}

bool KeyStore::revoke(const QString &name)
{
    return m_keys.removeIf([&](const Key &k) { return k.name == name; }) > 0;
}

QByteArray KeyStore::toJson() const
{
    QJsonArray list;
    for (const Key &k : m_keys) {
        list.append(QJsonObject{{"name", k.name},
                                {"scope", scopeName(k.scope)},
                                {"made", k.made.toString(Qt::ISODate)},
                                {"expires", k.expires.isValid() ? k.expires.toString(Qt::ISODate) : QString()},
                                {"last_used", k.lastUsed.isValid() ? k.lastUsed.toString(Qt::ISODate) : QString()},
                                {"hash", QString::fromLatin1(k.hash)}});
    }
    return QJsonDocument(list).toJson();
}

std::optional<KeyStore> KeyStore::fromJson(const QByteArray &json, QString *why)
{
    QJsonDocument document;
    *why = StateFolder::parseJson(json, QJsonValue::Array, &document);
    if (!why->isEmpty())
        return std::nullopt;
    KeyStore store;
    const QJsonArray list = document.array();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject o = list.at(i).toObject();
        const auto scope = scopeNamed(o.value(QLatin1String("scope")).toString());
        const QByteArray hash = o.value(QLatin1String("hash")).toString().toLatin1();
        const QString name = o.value(QLatin1String("name")).toString();
        // An empty time is none; one that cannot be read is no time at
        // all, least of all an expiry read as never.
        bool times = true;
        const auto time = [&](const char *field) {
            const QJsonValue value = o.value(QLatin1String(field));
            const QDateTime when = QDateTime::fromString(value.toString(), Qt::ISODate);
            times = times && value.isString() && (value.toString().isEmpty() || when.isValid());
            return when;
        };
        const Key key{name, scope.value_or(Scope::Send), time("made"), time("expires"), time("last_used"), hash};
        if (!scope || hash.size() != 64 || !isKeyName(name) || !times) {
            *why = QStringLiteral("key %1 cannot be read").arg(i + 1);
            return std::nullopt;
        }
        store.m_keys.append(key);
    }
    return store;
}

KeyStore KeyStore::load(StateFolder &state, const QString &name)
{
    KeyStore store;
    state.readWhole(
        name,
        [&](const QByteArray &bytes) {
            QString why;
            if (auto read = fromJson(bytes, &why))
                store = std::move(*read);
            return why;
        },
        QStringLiteral("The keys it held do not work: stop the server and put %1 back from a backup, or make the "
                       "scripts new keys on the page.")
            .arg(name));
    return store;
}
