// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class StateFolder;

// Keys that scripts send with, made by the owner: each has a name, a scope
// and an expiry, is shown once when it is made, and is kept only as a hash.
// A request with a key is judged by the key alone.
class KeyStore {
public:
    enum class Scope {
        Send,  // send sets and read the status
        Edit,  // also save and delete sets
    };
    struct Key {
        QString name;
        Scope scope = Scope::Send;
        QDateTime made, expires, lastUsed;  // UTC; expires invalid: never
        QByteArray hash;
    };

    static std::optional<Scope> scopeNamed(const QString &name);
    static QString scopeName(Scope scope);
    // 1 to 32 letters, digits, '.', '_' or '-'.
    static bool isKeyName(const QString &name);

    // The new key's text, or empty where the name is taken or wrong.
    QByteArray make(const QString &name, Scope scope, const QDateTime &expires, const QDateTime &now);
    // The key that `text` is, if it is one, and not expired; compared with
    // every key's hash in constant time. Its last use becomes `now`.
    std::optional<Key> use(const QByteArray &text, const QDateTime &now);
    bool revoke(const QString &name);
    const QList<Key> &keys() const { return m_keys; }

    QByteArray toJson() const;
    // Every key of the file, or none and why not: a key half read could
    // never be used, and would be lost at the next write.
    static std::optional<KeyStore> fromJson(const QByteArray &json, QString *why);
    // The keys kept in the state folder's `name`: none where there is no
    // file, nor where it cannot be read, which the folder then moves aside
    // and says.
    static KeyStore load(StateFolder &state, const QString &name);

private:
    QList<Key> m_keys;
};
