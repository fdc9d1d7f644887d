// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/accounts.h"

#include "service/statefolder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
const QString kFile = QStringLiteral("accounts.json");
}

bool AccountStore::isAccountName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[\\p{L}\\p{N}._-]{1,32}$"));
    return shape.match(name).hasMatch();
}

bool AccountStore::load()
{
    bool exists = false;
    const QByteArray bytes = m_state.read(kFile, &exists);
    m_accounts.clear();
    if (bytes.isNull()) {
        m_error = m_state.error();
        return false;
    }
    if (!exists)
        return true;
    // Left where it is: moved aside, it would leave a computer with no
    // owner, which anyone who reads the next setup code could claim.
    const QString advice = QStringLiteral("the server does not start without its accounts: stop it, put %1 back "
                                          "from a backup, and start it again")
                               .arg(kFile);
    QJsonDocument document;
    if (const QString why = StateFolder::parseJson(bytes, QJsonValue::Array, &document); !why.isEmpty()) {
        m_error = QStringLiteral("%1/%2 cannot be read (%3): %4").arg(m_state.path(), kFile, why, advice);
        return false;
    }
    for (const QJsonValue &value : document.array()) {
        const QJsonObject o = value.toObject();
        const QString name = o.value(QLatin1String("name")).toString();
        const QString role = o.value(QLatin1String("role")).toString();
        const QByteArray hash = o.value(QLatin1String("hash")).toString().toLatin1();
        if (!isAccountName(name) || (role != QLatin1String("owner") && role != QLatin1String("staff"))
            || !hash.startsWith("$argon2")) {
            m_error =
                QStringLiteral("%1/%2 holds an account that cannot be read: %3").arg(m_state.path(), kFile, advice);
            m_accounts.clear();
            return false;
        }
        m_accounts.append({name, role == QLatin1String("owner") ? Role::Owner : Role::Staff, hash});
    }
    return true;
}

bool AccountStore::hasOwner() const
{
    return std::any_of(m_accounts.cbegin(), m_accounts.cend(), [](const Account &a) { return a.role == Role::Owner; });
}

const AccountStore::Account *AccountStore::find(const QString &name) const
{
    for (const Account &account : m_accounts) {
        if (account.name.compare(name, Qt::CaseInsensitive) == 0)
            return &account;
    }
    return nullptr;
}

bool AccountStore::save(const QList<Account> &accounts)
{
    QJsonArray list;
    for (const Account &a : accounts)
        list.append(QJsonObject{{"name", a.name}, {"role", roleName(a.role)}, {"hash", QString::fromLatin1(a.hash)}});
    if (!m_state.write(kFile, QJsonDocument(list).toJson())) {
        m_error = m_state.error();
        return false;
    }
    m_accounts = accounts;
    return true;
}

bool AccountStore::add(const Account &account)
{
    if (!isAccountName(account.name) || find(account.name)) {
        m_error = QStringLiteral("An account named \"%1\" exists already, or the name is not 1 to 32 letters, "
                                 "digits, '.', '_' or '-'.")
                      .arg(account.name);
        return false;
    }
    return save(m_accounts + QList<Account>{account});
}

bool AccountStore::remove(const QString &name)
{
    QList<Account> kept = m_accounts;
    kept.removeIf([&](const Account &a) { return a.name.compare(name, Qt::CaseInsensitive) == 0; });
    return save(kept);
}

bool AccountStore::setHash(const QString &name, const QByteArray &hash)
{
    QList<Account> changed = m_accounts;
    for (Account &a : changed) {
        if (a.name.compare(name, Qt::CaseInsensitive) == 0)
            a.hash = hash;
    }
    return save(changed);
}
