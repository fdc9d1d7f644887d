// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

#include "service/recovery.h"
#include "service/secrets.h"

#include <QCryptographicHash>
#include <QJsonArray>

namespace {

HttpReply busy() { return errorReply(503, QStringLiteral("The server is busy; try again in a moment.")); }

QJsonObject deviceJson(const SessionStore::Session &s, const QByteArray &mine)
{
    return QJsonObject{{"id", QString::fromLatin1(s.idHash.left(16))},
                       {"account", s.account},
                       {"device", s.device},
                       {"address", s.address},
                       {"kept", s.kept},
                       {"this", s.idHash == mine}};
}

QByteArray hashOfCookie(const QByteArray &cookie)
{
    return QCryptographicHash::hash(cookie, QCryptographicHash::Sha256).toHex();
}

recovery::Found findSince(Board &board, const QString &owner, QDateTime *since)
{
    const QList<QJsonObject> log = board.log.entries(recovery::kEntries);
    *since = recovery::since(log, owner);
    QStringList accounts, keys;
    for (const AccountStore::Account &a : board.accounts.accounts())
        if (a.role == AccountStore::Role::Staff)
            accounts << a.name;
    for (const KeyStore::Key &k : board.keys.keys())
        keys << k.name;
    return recovery::find(log, *since, accounts, keys, board.sessions.sessions(board.clocks.wall()));
}

}  // namespace

namespace api {

void readLog(Board &board, const Call &, const Answer &answer)
{
    QJsonArray entries;
    for (const QJsonObject &entry : board.log.entries(500))
        entries.append(entry);
    answer(jsonReply(200, entries));
}

void listAccounts(Board &board, const Call &, const Answer &answer)
{
    QJsonArray list;
    for (const AccountStore::Account &a : board.accounts.accounts())
        list.append(QJsonObject{{"name", a.name}, {"role", AccountStore::roleName(a.role)}});
    answer(jsonReply(200, list));
}

void addAccount(Board &board, const Call &call, const Answer &answer)
{
    const QString name = call.body.value(QLatin1String("name")).toString();
    const QByteArray password = call.body.value(QLatin1String("password")).toString().toUtf8();
    if (!AccountStore::isAccountName(name) || board.accounts.find(name) || password.size() < 8)
        return answer(errorReply(400, QStringLiteral("A new name of 1 to 32 letters, digits, '.', '_' or '-', and a "
                                                     "password of at least 8 characters.")));
    Board *b = &board;
    const Caller caller = call.caller;
    const bool queued = board.hasher.hash(password, [b, caller, name, answer](const QByteArray &hash) {
        if (hash.isEmpty() || !b->accounts.add({name, AccountStore::Role::Staff, hash}))
            return answer(errorReply(400, b->accounts.error()));
        b->record(caller.who(), caller.address, QStringLiteral("account added"), name);
        answer(jsonReply(201, QJsonObject{{"name", name}, {"role", QStringLiteral("staff")}}));
    });
    if (!queued)
        answer(busy());
}

void removeAccount(Board &board, const Call &call, const Answer &answer)
{
    const AccountStore::Account *account = board.accounts.find(call.parts.value(0));
    if (!account)
        return answer(errorReply(404, QStringLiteral("There is no account named \"%1\".").arg(call.parts.value(0))));
    if (account->role == AccountStore::Role::Owner)
        return answer(errorReply(409, QStringLiteral("The owner's account stays; a forgotten password is reset with "
                                                     "pelorin --serve --setup-code.")));
    // A copy: the list it points into is replaced by the removal.
    const QString removed = account->name;
    if (!board.accounts.remove(removed))
        return answer(errorReply(500, board.accounts.error()));
    board.sessions.closeAccount(removed);
    QString why;
    if (!board.saveSessions(&why))
        return answer(errorReply(500, why));
    board.record(call.caller.who(), call.caller.address, QStringLiteral("account removed"), removed);
    answer({204, {}, {}, {}});
}

void resetPassword(Board &board, const Call &call, const Answer &answer)
{
    const AccountStore::Account *account = board.accounts.find(call.parts.value(0));
    if (!account)
        return answer(errorReply(404, QStringLiteral("There is no account named \"%1\".").arg(call.parts.value(0))));
    if (account->role == AccountStore::Role::Owner)
        return answer(errorReply(409, QStringLiteral("The owner changes the owner's own password under \"Your "
                                                     "password\".")));
    const QByteArray password = call.body.value(QLatin1String("password")).toString().toUtf8();
    if (password.size() < 8)
        return answer(errorReply(400, QStringLiteral("password: at least 8 characters.")));
    const QString name = account->name;
    Board *b = &board;
    const Caller caller = call.caller;
    const bool queued = board.hasher.hash(password, [b, caller, name, answer](const QByteArray &hash) {
        if (hash.isEmpty() || !b->accounts.setHash(name, hash))
            return answer(errorReply(500, b->accounts.error()));
        // Whoever used the old password is signed out everywhere.
        b->sessions.closeAccount(name);
        QString why;
        if (!b->saveSessions(&why))
            return answer(errorReply(500, why));
        b->record(caller.who(), caller.address, QStringLiteral("password set by the owner"), name);
        answer({204, {}, {}, {}});
    });
    if (!queued)
        answer(busy());
}

void listDevices(Board &board, const Call &call, const Answer &answer)
{
    const QByteArray mine = hashOfCookie(call.caller.cookie);
    QJsonArray list;
    for (const SessionStore::Session &s : board.sessions.sessions(board.clocks.wall()))
        list.append(deviceJson(s, mine));
    answer(jsonReply(200, list));
}

void signOutDevice(Board &board, const Call &call, const Answer &answer)
{
    const QByteArray id = call.parts.value(0).toLatin1();
    for (const SessionStore::Session &s : board.sessions.sessions(board.clocks.wall())) {
        if (id.size() == 16 && s.idHash.startsWith(id)) {
            const QString account = s.account;
            board.sessions.closeByHash(s.idHash);
            QString why;
            if (!board.saveSessions(&why))
                return answer(errorReply(500, why));
            board.record(call.caller.who(), call.caller.address, QStringLiteral("device signed out"), account);
            return answer({204, {}, {}, {}});
        }
    }
    answer(errorReply(404, QStringLiteral("That device is not signed in.")));
}

void review(Board &board, const Call &call, const Answer &answer)
{
    QDateTime since;
    const recovery::Found found = findSince(board, call.caller.account->name, &since);
    const QByteArray mine = hashOfCookie(call.caller.cookie);
    QJsonArray entries, devices;
    for (const QJsonObject &entry : found.entries)
        entries.append(entry);
    for (const SessionStore::Session &s : found.devices)
        devices.append(deviceJson(s, mine));
    answer(
        jsonReply(200, QJsonObject{{"since", since.isValid() ? QJsonValue(since.toString(Qt::ISODate)) : QJsonValue()},
                                   {"accounts", QJsonArray::fromStringList(found.accounts)},
                                   {"keys", QJsonArray::fromStringList(found.keys)},
                                   {"devices", devices},
                                   {"entries", entries}}));
}

void recover(Board &board, const Call &call, const Answer &answer)
{
    QDateTime since;
    const recovery::Found found = findSince(board, call.caller.account->name, &since);
    // Every account is written before anything else changes, so that a
    // failure leaves the rest as it was.
    for (const QString &name : found.accounts) {
        if (!board.accounts.remove(name))
            return answer(errorReply(500, board.accounts.error()));
    }
    for (const QString &name : found.keys)
        board.keys.revoke(name);
    QString why;
    if (!found.keys.isEmpty() && !board.saveKeys(&why))
        return answer(errorReply(500, why));
    for (const AccountStore::Account &a : board.accounts.accounts())
        board.sessions.closeAccount(a.name, call.caller.cookie);
    for (const QString &name : found.accounts)
        board.sessions.closeAccount(name);
    if (!board.saveSessions(&why))
        return answer(errorReply(500, why));
    // Every browser that signed in before is a stranger again, the
    // intruder's among them.
    const QByteArray key = secrets::make();
    if (!board.save(QStringLiteral("device-key"), key, &why))
        return answer(errorReply(500, why));
    board.devices.setKey(key);
    board.record(call.caller.who(), call.caller.address, QStringLiteral("everyone signed out"),
                 QStringLiteral("accounts removed: %1; keys revoked: %2")
                     .arg(found.accounts.isEmpty() ? QStringLiteral("none") : found.accounts.join(QStringLiteral(", ")),
                          found.keys.isEmpty() ? QStringLiteral("none") : found.keys.join(QStringLiteral(", "))));
    answer(jsonReply(200, QJsonObject{{"accounts", QJsonArray::fromStringList(found.accounts)},
                                      {"keys", QJsonArray::fromStringList(found.keys)}}));
}

}  // namespace api
