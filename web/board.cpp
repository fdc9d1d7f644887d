// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/board.h"

#include "link/upload.h"
#include "web/clocksync.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

using namespace std::chrono;

namespace {

const QString kSetupCodeFile = QStringLiteral("setup-code.json");

// The journal keeps standard error under systemd.
void journal(const QString &line)
{
    const QByteArray bytes = (QStringLiteral("pelorin: ") + line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

}  // namespace

HttpReply jsonReply(int status, const QJsonValue &value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return {status, "application/json", document.toJson(QJsonDocument::Compact) + '\n', {}};
}

HttpReply errorReply(int status, const QString &error) { return jsonReply(status, QJsonObject{{"error", error}}); }

HttpReply waitReply(const QString &text, seconds wait)
{
    HttpReply reply = errorReply(429, text.arg(wait.count()));
    reply.headers.append({"Retry-After", QByteArray::number(wait.count())});
    return reply;
}

QByteArray cookieValue(const HttpRequest &request, const QByteArray &name)
{
    for (const auto &[key, value] : request.headers) {
        if (key != "cookie")
            continue;
        for (const QByteArray &pair : value.split(';')) {
            const qsizetype equals = pair.indexOf('=');
            if (equals > 0 && pair.left(equals).trimmed() == name)
                return pair.mid(equals + 1).trimmed();
        }
    }
    return {};
}

QByteArray quoted(const QByteArray &version) { return '"' + version + '"'; }

QByteArray unquoted(QByteArray tag)
{
    tag = tag.trimmed();
    if (tag.startsWith("W/"))
        tag = tag.mid(2);
    return tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"') ? tag.mid(1, tag.size() - 2) : tag;
}

Board::Board(StateFolder &folder, PortMap ports, Clocks givenClocks, Scheduler::Starter starter)
    : state(folder), clocks(std::move(givenClocks)), accounts(folder), sets(folder), log(folder.path()),
      sender(std::move(ports)),
      scheduler(
          folder, log, sets,
          Scheduler::Clocks{[this] { return wallTime(); },
                            clocks.synchronised ? clocks.synchronised : std::function<bool()>(clocksync::synchronised),
                            clocks.zone},
          std::move(starter))
{
}

QDateTime Board::wallTime() const
{
    return QDateTime::fromMSecsSinceEpoch(duration_cast<milliseconds>(clocks.wall().time_since_epoch()).count(),
                                          Qt::UTC);
}

void Board::record(const QString &who, const QString &address, const QString &event, const QString &detail)
{
    if (!log.record(clocks.wall(), who, address, event, detail))
        journal(QStringLiteral("the log in %1 cannot be written; it misses: %2 %3 %4 %5")
                    .arg(state.path(), who, address, event, detail));
}

bool Board::save(const QString &file, const QByteArray &bytes, QString *why)
{
    if (state.write(file, bytes))
        return true;
    if (why)
        *why = state.error();
    return false;
}

void Board::saveOrSay(const QString &file, const QByteArray &bytes)
{
    if (!state.write(file, bytes))
        journal(state.error());
}

bool Board::saveSessions(QString *why) { return save(QStringLiteral("sessions.json"), sessions.toJson(), why); }

bool Board::saveKeys(QString *why) { return save(QStringLiteral("keys.json"), keys.toJson(), why); }

void Board::guessFailed(const Call &call)
{
    const auto now = clocks.steady();
    throttle.failed(call.caller.address, now, call.trusted ? QString() : call.guessed);
    if (call.trusted)
        devices.failed(deviceCookie(call.request), now);
}

QString deviceId(const QByteArray &cookie)
{
    return QString::fromLatin1(QCryptographicHash::hash(cookie, QCryptographicHash::Sha256).toHex().left(16));
}

HttpReply Board::signedIn(const Call &call, const QString &account, bool kept, int status, const QString &event,
                          const QString &detail, QJsonObject more)
{
    const HttpRequest &request = call.request;
    const QByteArray cookie = sessions.open(account, kept, QString::fromUtf8(request.header("user-agent")),
                                            call.caller.address, clocks.wall());
    QString why;
    if (!saveSessions(&why)) {
        sessions.close(cookie);
        return errorReply(500, why);
    }
    const QByteArray secure = request.scheme == QLatin1String("https") ? "; Secure" : "";
    QByteArray setCookie = QByteArray(kCookie) + '=' + cookie + "; Path=/; HttpOnly; SameSite=Strict";
    if (kept)
        setCookie += "; Max-Age=" + QByteArray::number(duration_cast<seconds>(SessionStore::kKept).count());
    const AccountStore::Account *found = accounts.find(account);
    more.insert(QLatin1String("name"), found->name);
    more.insert(QLatin1String("role"), AccountStore::roleName(found->role));
    more.insert(QLatin1String("csrf"), QString::fromLatin1(SessionStore::csrfToken(cookie)));
    if (found->role == AccountStore::Role::Owner && !state.problems().isEmpty())
        more.insert(QLatin1String("problems"), QJsonArray::fromStringList(state.problems()));
    HttpReply reply = jsonReply(status, more);
    reply.headers.append({"Set-Cookie", setCookie + secure});
    // This browser is now one that signed in to the account before; the
    // log tells its sign-ins apart from others' by its device id.
    const QByteArray device = devices.issue(found->name);
    record(found->name, call.caller.address, event,
           QStringLiteral("device %1").arg(deviceId(device))
               + (detail.isEmpty() ? QString() : QStringLiteral("; ") + detail));
    reply.headers.append(
        {"Set-Cookie", QByteArray(TrustedDevices::kCookie) + '=' + device
                           + "; Path=/api/; HttpOnly; SameSite=Strict; Max-Age="
                           + QByteArray::number(duration_cast<seconds>(TrustedDevices::kLifetime).count()) + secure});
    return reply;
}

bool Board::writeSetupCode(StateFolder &folder, const SetupCode &code, const QString &account)
{
    const qint64 made = duration_cast<seconds>(code.made().time_since_epoch()).count();
    QJsonObject o{{"code", code.text()}, {"made", made}};
    if (!account.isEmpty())
        o.insert(QLatin1String("account"), account);
    return folder.write(kSetupCodeFile, QJsonDocument(o).toJson());
}

void Board::readSetupCodeFile(bool say)
{
    // Written by root for a forgotten password. One that cannot be read
    // is moved aside and said, never read as something else: an account
    // that cannot be read taken for none would reset the owner's password.
    std::optional<SetupCode> fromFile;
    QString account;
    const QStringList before = state.problemsOf(kSetupCodeFile);
    state.readWhole(
        kSetupCodeFile,
        [&](const QByteArray &bytes) {
            QJsonDocument document;
            QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
            const QJsonObject o = document.object();
            const QJsonValue code = o.value(QLatin1String("code")), made = o.value(QLatin1String("made")),
                             named = o.value(QLatin1String("account"));
            if (!why.isEmpty())
                return why;
            if (!code.isString() || code.toString().isEmpty())
                return QStringLiteral("code is no code");
            if (!made.isDouble())
                return QStringLiteral("made is no time");
            if (!named.isUndefined() && (!named.isString() || !AccountStore::isAccountName(named.toString())))
                return QStringLiteral("account is no account's name");
            fromFile = SetupCode(code.toString(), SessionStore::Clock::time_point{seconds(qint64(made.toDouble()))});
            account = named.toString();
            return QString();
        },
        QStringLiteral("No code from it waits: make a new one with pelorin --serve --setup-code."));
    // Read after the start, and said as it is found.
    if (const QStringList after = state.problemsOf(kSetupCodeFile); say && after != before) {
        for (const QString &line : after)
            journal(line);
    }
    // The newer code holds.
    if (fromFile && (!setupCode || fromFile->made() > setupCode->made())) {
        setupCode = fromFile;
        setupAccount = account;
        setupTries = 0;
    }
}

QJsonObject Board::status() const
{
    QJsonObject s;
    if (sender.busy()) {
        const upload::Progress p = sender.progress();
        s = {{"state", "sending"},
             {"set", upload.set},
             {"sent", p.sent},
             {"total", p.total},
             {"seconds_left", upload::secondsLeft(p)}};
    } else {
        s = {{"state", "idle"}};
    }
    if (!last.isEmpty())
        s.insert(QLatin1String("last"), last);
    return s;
}

QString Board::busyText() const
{
    const QJsonObject now = status();
    return QStringLiteral("\"%1\" is being sent, %2 of %3 characters, %4 s left; wait for it, or stop it.")
        .arg(upload.set)
        .arg(now.value("sent").toInt())
        .arg(now.value("total").toInt())
        .arg(now.value("seconds_left").toInt());
}

bool Board::send(const QString &name, const QString &who, const QString &address, const NextStep &next,
                 SetStore::Refusal *refusal)
{
    if (sender.busy()) {
        *refusal = {409, busyText()};
        return false;
    }
    return startUpload(name, who, address, next, refusal);
}

bool Board::startUpload(const QString &name, const QString &who, const QString &address, const NextStep &next,
                        SetStore::Refusal *refusal)
{
    const auto set = sets.get(name, refusal);
    if (!set)
        return false;
    if (device.isEmpty()) {
        *refusal = {409, QStringLiteral("No port is chosen for the board yet; the owner chooses it.")};
        return false;
    }
    if (!sender.start(SetStore::messageSet(*set), device, next)) {
        record(who, address, QStringLiteral("send failed"), name);
        *refusal = {sender.retryable() ? 503 : 500,
                    sender.failure() + QStringLiteral(" ") + QStringLiteral("Nothing was sent.")};
        return false;
    }
    upload = {name, who};
    record(who, address, QStringLiteral("send started"), name);
    if (changed)
        changed(Change::UploadStarted);
    return true;
}

Scheduler::Start Board::startScheduled(const QString &name)
{
    // What a failure of a scheduled send tells the person who reads it on
    // the page afterwards.
    static const NextStep next{QStringLiteral("the schedule tries again a minute later, five times in all; or press "
                                              "Send"),
                               QStringLiteral("restart the board's server"),
                               {}};
    if (sender.busy())
        return {Scheduler::Start::Busy, false, {}};
    SetStore::Refusal refusal;
    if (!startUpload(name, QStringLiteral("schedule"), {}, next, &refusal))
        return {Scheduler::Start::Failed, refusal.status == 503, refusal.error};
    return {Scheduler::Start::Started, false, {}};
}

void Board::ended(const QString &result, bool retryable, const QString &error)
{
    last = {{"set", upload.set}, {"result", result}, {"account", upload.account}};
    if (!error.isEmpty())
        last.insert(QLatin1String("error"), error);
    if (result != QLatin1String("stopped"))
        record(upload.account, {}, QStringLiteral("send ") + result, upload.set);
    if (changed)
        changed(Change::UploadEnded);
    // A scheduled send that waited for this one goes now.
    scheduler.uploadEnded(result, retryable, error);
}

QByteArray Board::saveSet(const QString &name, const QJsonObject &json, const std::optional<QByteArray> &ifMatch,
                          bool createOnly, const QString &who, const QString &address, SetStore::Refusal *refusal)
{
    const auto set = SetStore::fromJson(json, refusal);
    if (!set)
        return {};
    const QByteArray version = sets.put(name, *set, ifMatch, createOnly, refusal);
    if (*refusal)
        return {};
    record(who, address, QStringLiteral("set saved"), name);
    if (changed)
        changed(Change::Sets);
    return version;
}

QByteArray Board::importSet(const QString &name, const QByteArray &file, const std::optional<QByteArray> &ifMatch,
                            bool createOnly, const QString &who, const QString &address, SetStore::Refusal *refusal)
{
    const QByteArray version = sets.import(name, file, ifMatch, createOnly, refusal);
    if (*refusal)
        return {};
    record(who, address, QStringLiteral("set saved"), name);
    if (changed)
        changed(Change::Sets);
    return version;
}

bool Board::deleteSet(const QString &name, const QByteArray &version, const QString &who, const QString &address,
                      SetStore::Refusal *refusal)
{
    if (!sets.remove(name, version, refusal))
        return false;
    record(who, address, QStringLiteral("set deleted"), name);
    if (changed)
        changed(Change::Sets);
    return true;
}
