// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class StateFolder;

// Who may sign in to the board's server: one owner, who claimed the
// computer with its setup code and manages the rest, and staff, who edit
// sets and send. Kept in the state folder with each password's Argon2id
// hash, never the password.
class AccountStore {
public:
    enum class Role { Owner, Staff };
    struct Account {
        QString name;
        Role role = Role::Staff;
        QByteArray hash;
    };
    static constexpr int kLongestName = 32;

    explicit AccountStore(StateFolder &state) : m_state(state) {}
    // Reads the accounts; false, and error(), where the file is there but
    // cannot be read: the server must not start as though it had no owner.
    bool load();
    QString error() const { return m_error; }

    // 1 to 32 letters, digits, '.', '_' or '-'.
    static bool isAccountName(const QString &name);
    static QString roleName(Role role)
    {
        return role == Role::Owner ? QStringLiteral("owner") : QStringLiteral("staff");
    }

    bool hasOwner() const;
    // By name, whatever its case; null if there is none.
    const Account *find(const QString &name) const;
    QList<Account> accounts() const { return m_accounts; }
    // Each change is written before it is made here; false and error()
    // where it could not be.
    bool add(const Account &account);
    bool remove(const QString &name);
    bool setHash(const QString &name, const QByteArray &hash);

private:
    bool save(const QList<Account> &accounts);

    StateFolder &m_state;
    QList<Account> m_accounts;
    QString m_error;
};
