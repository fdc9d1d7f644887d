// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

#include "service/recovery.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>

using namespace std::chrono;

namespace {

const QString kSetupCodeFile = QStringLiteral("setup-code.json");

HttpReply busy()
{
    return errorReply(503, QStringLiteral("The server is busy signing people in; try again in a moment."));
}

// A wrong password or code in `call`: counted against its address, and
// against the account it was for, or, from a trusted device, against that
// device alone.
void guessFailed(Board &board, const Call &call)
{
    const auto now = board.clocks.steady();
    board.throttle.failed(call.caller.address, now, call.trusted ? QString() : call.guessed);
    if (call.trusted)
        board.devices.failed(deviceCookie(call.request), now);
}

// Where a try at a password waits: a browser known to the account it is
// for before strangers, and the owner's known browsers before all.
PasswordHasher::Priority priorityOf(const Board &board, const Call &call)
{
    if (!call.trusted)
        return PasswordHasher::Priority::Stranger;
    const AccountStore::Account *account = board.accounts.find(call.guessed);
    return account && account->role == AccountStore::Role::Owner ? PasswordHasher::Priority::Owner
                                                                 : PasswordHasher::Priority::Known;
}

// Signs `account` in on this browser: a session, and the cookies; the log
// records `event`, with the browser's new device id and `detail`.
HttpReply signedIn(Board &board, const Call &call, const QString &account, bool kept, int status, const QString &event,
                   const QString &detail = {}, QJsonObject more = {})
{
    const HttpRequest &request = call.request;
    const QByteArray cookie = board.sessions.open(account, kept, QString::fromUtf8(request.header("user-agent")),
                                                  call.caller.address, board.clocks.wall());
    QString why;
    if (!board.saveSessions(&why)) {
        board.sessions.close(cookie);
        return errorReply(500, why);
    }
    const QByteArray secure = request.scheme == QLatin1String("https") ? "; Secure" : "";
    QByteArray setCookie = QByteArray(kSessionCookie) + '=' + cookie + "; Path=/; HttpOnly; SameSite=Strict";
    if (kept)
        setCookie += "; Max-Age=" + QByteArray::number(duration_cast<seconds>(SessionStore::kKept).count());
    const AccountStore::Account *found = board.accounts.find(account);
    more.insert(QLatin1String("name"), found->name);
    more.insert(QLatin1String("role"), AccountStore::roleName(found->role));
    more.insert(QLatin1String("csrf"), QString::fromLatin1(SessionStore::csrfToken(cookie)));
    if (found->role == AccountStore::Role::Owner && !board.state.problems().isEmpty())
        more.insert(QLatin1String("problems"), QJsonArray::fromStringList(board.state.problems()));
    HttpReply reply = jsonReply(status, more);
    reply.headers.append({"Set-Cookie", setCookie + secure});
    // This browser is now one that signed in to the account before; the
    // log tells its sign-ins apart from others' by its device id.
    const QByteArray device = board.devices.issue(found->name);
    board.record(found->name, call.caller.address, event,
                 QStringLiteral("device %1").arg(deviceId(device))
                     + (detail.isEmpty() ? QString() : QStringLiteral("; ") + detail));
    reply.headers.append(
        {"Set-Cookie", QByteArray(TrustedDevices::kCookie) + '=' + device
                           + "; Path=/api/; HttpOnly; SameSite=Strict; Max-Age="
                           + QByteArray::number(duration_cast<seconds>(TrustedDevices::kLifetime).count()) + secure});
    return reply;
}

}  // namespace

namespace api {

void page(Board &, const Call &call, const Answer &answer)
{
    static const QHash<QString, std::pair<QString, QByteArray>> files{
        {QStringLiteral("/"), {QStringLiteral(":/page/index.html"), "text/html; charset=utf-8"}},
        {QStringLiteral("/app.js"), {QStringLiteral(":/page/app.js"), "text/javascript; charset=utf-8"}},
        {QStringLiteral("/style.css"), {QStringLiteral(":/page/style.css"), "text/css; charset=utf-8"}},
    };
    const auto file = files.constFind(call.request.path);
    QFile resource(file == files.cend() ? QString() : file->first);
    if (!resource.open(QIODevice::ReadOnly))
        return answer(errorReply(500, QStringLiteral("The page is missing from the program.")));
    answer({200, file->second, resource.readAll(), {}});
}

void setupState(Board &board, const Call &, const Answer &answer)
{
    board.readSetupCodeFile();
    // A code root made for a forgotten password: the page offers its form.
    const bool waiting = board.accounts.hasOwner() && board.setupCode && !board.setupCode->expired(board.clocks.wall());
    answer(jsonReply(200, QJsonObject{{"needed", !board.accounts.hasOwner()}, {"code_waiting", waiting}}));
}

void setup(Board &board, const Call &call, const Answer &answer)
{
    const QString &address = call.caller.address;
    board.readSetupCodeFile();
    if (!board.setupCode)
        return answer(errorReply(409, QStringLiteral("This computer has its owner; sign in instead.")));
    const bool expired = board.setupCode->expired(board.clocks.wall());
    if (expired || !board.setupCode->matches(call.body.value(QLatin1String("code")).toString())) {
        guessFailed(board, call);
        board.record({}, address, QStringLiteral("setup refused"));
        // Out of reach by guessing: past its tries a code is void.
        if (!expired && ++board.setupTries >= Board::kSetupTries) {
            board.setupCode.reset();
            board.state.remove(kSetupCodeFile);
            board.record({}, {}, QStringLiteral("setup code void after too many wrong tries"));
        }
        return answer(errorReply(403, expired ? QStringLiteral("The setup code has expired; make a new one with "
                                                               "pelorin --serve --setup-code.")
                                              : QStringLiteral("That is not the setup code.")));
    }
    // With an owner, the code is for a forgotten password, and resets the
    // account it was made for alone: the owner's, unless root named
    // another. A name given with it must be that account's.
    const bool reset = board.accounts.hasOwner();
    QString name = call.body.value(QLatin1String("name")).toString();
    if (reset) {
        const AccountStore::Account *account = nullptr;
        if (board.setupAccount.isEmpty()) {
            for (const AccountStore::Account &a : board.accounts.accounts())
                if (a.role == AccountStore::Role::Owner)
                    account = board.accounts.find(a.name);
        } else {
            account = board.accounts.find(board.setupAccount);
        }
        if (!account)
            return answer(errorReply(409, QStringLiteral("The account \"%1\" that this code was made for is gone; "
                                                         "make a new code with pelorin --serve --setup-code.")
                                              .arg(board.setupAccount)));
        if (!name.isEmpty() && name.compare(account->name, Qt::CaseInsensitive) != 0) {
            board.record({}, address, QStringLiteral("setup code given for another account"),
                         name.left(AccountStore::kLongestName));
            return answer(errorReply(403, QStringLiteral("This setup code resets another account's password: give "
                                                         "it with the new password alone.")));
        }
        name = account->name;
    }
    const QByteArray password = call.body.value(QLatin1String("password")).toString().toUtf8();
    if (!AccountStore::isAccountName(name) || password.size() < 8)
        return answer(errorReply(400, reset ? QStringLiteral("password: at least 8 characters.")
                                            : QStringLiteral("A name of 1 to 32 letters, digits, '.', '_' or '-', and "
                                                             "a password of at least 8 characters.")));
    const QString code = board.setupCode->text();
    // Which browser this is, if it signed in to the account before.
    const QByteArray cookie = deviceCookie(call.request);
    const QString browser =
        reset && board.devices.trusted(cookie, name, board.clocks.steady()) ? deviceId(cookie) : QString();
    Board *b = &board;
    const Call held = call;
    const bool queued = board.hasher.hash(password, [b, held, name, code, reset, browser,
                                                     answer](const QByteArray &hash) {
        Board &board = *b;
        // Used meanwhile by another request: the first one holds.
        if (!board.setupCode || board.setupCode->text() != code || hash.isEmpty())
            return answer(errorReply(409, QStringLiteral("The setup code has been used; sign in instead.")));
        if (!(reset ? board.accounts.setHash(name, hash) : board.accounts.add({name, AccountStore::Role::Owner, hash})))
            return answer(errorReply(500, board.accounts.error()));
        board.setupCode.reset();
        board.state.remove(kSetupCodeFile);
        board.throttle.succeeded(held.caller.address);
        const bool owner = board.accounts.find(name)->role == AccountStore::Role::Owner;
        if (reset) {
            // The account's devices sign in again, with the new password;
            // for the owner's, every device, as whoever knew the old one
            // may have made accounts of their own.
            for (const AccountStore::Account &a : board.accounts.accounts()) {
                if (owner || a.name == name)
                    board.sessions.closeAccount(a.name);
            }
            QString why;
            if (!board.saveSessions(&why))
                return answer(errorReply(500, why));
        }
        // The owner sees at once what changed while someone else may have
        // known the password: since this browser's own last sign-in, which
        // no one without it can move, or else since root's code last set
        // the password.
        QString detail;
        if (reset && owner) {
            const QDateTime since = recovery::sinceForReset(board.log.entries(recovery::kEntries), name, browser);
            detail = QStringLiteral("review since %1")
                         .arg(since.isValid() ? since.toString(Qt::ISODate) : QStringLiteral("the start"));
        }
        answer(signedIn(board, held, name, false, 201,
                        reset ? QStringLiteral("password reset with a setup code") : QStringLiteral("owner created"),
                        detail, reset && owner ? QJsonObject{{"review", true}} : QJsonObject{}));
    });
    if (!queued)
        answer(busy());
}

void login(Board &board, const Call &call, const Answer &answer)
{
    const QString name = call.body.value(QLatin1String("name")).toString();
    const bool kept = call.body.value(QLatin1String("keep")).toBool();
    const AccountStore::Account *account = board.accounts.find(name);
    const QByteArray stored = account ? account->hash : QByteArray();
    Board *b = &board;
    const Call held = call;
    const bool queued = board.hasher.verify(
        stored, call.body.value(QLatin1String("password")).toString().toUtf8(),
        [b, held, name, kept, answer](bool matches, bool) {
            Board &board = *b;
            const AccountStore::Account *account = board.accounts.find(name);
            if (!matches || !account) {
                guessFailed(board, held);
                // What was typed for a name may be a password in the wrong
                // field: only an account's own name is written down.
                board.record(account ? account->name : QString(), held.caller.address,
                             QStringLiteral("sign-in failed"));
                // Never whether the name exists.
                return answer(errorReply(401, QStringLiteral("The name or the password is wrong.")));
            }
            board.throttle.succeeded(held.caller.address);
            answer(signedIn(board, held, account->name, kept, 200, QStringLiteral("signed in")));
        },
        priorityOf(board, call));
    if (!queued)
        answer(busy());
}

void session(Board &board, const Call &call, const Answer &answer)
{
    const AccountStore::Account &account = *call.caller.account;
    QJsonObject o{{"name", account.name},
                  {"role", AccountStore::roleName(account.role)},
                  {"csrf", QString::fromLatin1(SessionStore::csrfToken(call.caller.cookie))}};
    // The owner is told, on the page, of state files that could not be
    // read, as the journal is not where an owner looks.
    if (call.caller.owner() && !board.state.problems().isEmpty())
        o.insert(QLatin1String("problems"), QJsonArray::fromStringList(board.state.problems()));
    answer(jsonReply(200, o));
}

void logout(Board &board, const Call &call, const Answer &answer)
{
    board.sessions.close(call.caller.cookie);
    QString why;
    if (!board.saveSessions(&why))
        return answer(errorReply(500, why));
    HttpReply reply{204, {}, {}, {}};
    reply.headers.append(
        {"Set-Cookie", QByteArray(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"});
    answer(reply);
}

void changePassword(Board &board, const Call &call, const Answer &answer)
{
    const QByteArray current = call.body.value(QLatin1String("current")).toString().toUtf8();
    const QByteArray next = call.body.value(QLatin1String("new")).toString().toUtf8();
    if (next.size() < 8)
        return answer(errorReply(400, QStringLiteral("new: at least 8 characters.")));
    const QString name = call.caller.account->name;
    Board *b = &board;
    const Call held = call;
    const bool queued = board.hasher.verify(
        call.caller.account->hash, current,
        [b, held, name, next, answer](bool matches, bool) {
            Board &board = *b;
            if (!matches) {
                // As a failed sign-in: it is a guess at the same password.
                guessFailed(board, held);
                board.record(name, held.caller.address, QStringLiteral("password change refused"));
                return answer(errorReply(403, QStringLiteral("current: that is not the password.")));
            }
            const bool queued = board.hasher.hash(next, [b, held, name, answer](const QByteArray &hash) {
                Board &board = *b;
                if (hash.isEmpty() || !board.accounts.setHash(name, hash))
                    return answer(errorReply(500, board.accounts.error()));
                // Every other device of the account signs in again.
                board.sessions.closeAccount(name, held.caller.cookie);
                QString why;
                if (!board.saveSessions(&why))
                    return answer(errorReply(500, why));
                board.record(name, held.caller.address, QStringLiteral("password changed"));
                answer({204, {}, {}, {}});
            });
            if (!queued)
                answer(busy());
        },
        priorityOf(board, call));
    if (!queued)
        answer(busy());
}

}  // namespace api
