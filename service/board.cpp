// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/board.h"

#include "link/upload.h"
#include "service/clocksync.h"
#include "service/secrets.h"

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

Board::Board(StateFolder &folder, PortMap ports) : Board(folder, std::move(ports), Clocks()) {}

Board::Board(StateFolder &folder, PortMap ports, Clocks givenClocks)
    : state(folder), clocks(std::move(givenClocks)), accounts(folder), sets(folder), log(folder.path()),
      sender(std::move(ports), nullptr, SetSender::Where::OwnThread),
      scheduler(
          folder, log, sets,
          Scheduler::Clocks{[this] { return wallTime(); },
                            clocks.synchronised ? clocks.synchronised : std::function<bool()>(clocksync::synchronised),
                            clocks.zone},
          [this](const QString &set) { return startScheduled(set); })
{
    QObject::connect(&sender, &SetSender::sent, [this] { ended(QStringLiteral("sent"), false, {}); });
    QObject::connect(&sender, &SetSender::failed,
                     [this](bool retryable, const QString &text) { ended(QStringLiteral("failed"), retryable, text); });
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

bool Board::open(QString *error)
{
    Board &b = *this;
    if (!b.accounts.load()) {
        *error = b.accounts.error();
        return false;
    }
    b.sessions = SessionStore::load(b.state, QStringLiteral("sessions.json"), b.clocks.wall());
    if (!b.deviceFixed) {
        // A port that cannot be read is never taken for none chosen
        // unsaid: the file is moved aside, and the owner told.
        QString device;
        b.state.readWhole(
            QStringLiteral("settings.json"),
            [&](const QByteArray &bytes) {
                QJsonDocument document;
                QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
                const QJsonValue chosen = document.object().value(QLatin1String("device"));
                if (why.isEmpty() && !chosen.isUndefined() && (!chosen.isString() || chosen.toString().isEmpty()))
                    why = QStringLiteral("device is no port");
                if (why.isEmpty())
                    device = chosen.toString();
                return why;
            },
            QStringLiteral("The board's port is not chosen: choose it again on the board's page."));
        b.device = device;
    }
    if (!b.accounts.hasOwner())
        b.setupCode = SetupCode::make(b.clocks.wall());
    // Said with the rest of the first lines.
    b.readSetupCodeFile(false);
    b.keys = KeyStore::load(b.state, QStringLiteral("keys.json"));
    // The key of the trusted devices' cookies: made once; one that cannot
    // be read is not replaced, as that would make every device a stranger
    // without a word.
    bool exists = false;
    const QByteArray read = b.state.read(QStringLiteral("device-key"), &exists);
    if (read.isNull()) {
        *error = QStringLiteral("%1; it is not replaced, as a new key would make every browser a stranger. Let "
                                "the server's user read it, or remove it, and every browser signs in as a "
                                "stranger once more.")
                     .arg(b.state.error());
        return false;
    }
    QByteArray key = read.trimmed();
    if (exists && key.size() != secrets::kLength) {
        *error = QStringLiteral("%1/device-key cannot be read: it is not the key this server wrote. Remove it, "
                                "and every browser signs in as a stranger once more.")
                     .arg(b.state.path());
        return false;
    }
    if (!exists) {
        key = secrets::make();
        if (!b.save(QStringLiteral("device-key"), key, error))
            return false;
    }
    b.devices.setKey(key);
    if (!b.scheduler.open()) {
        *error = b.scheduler.error();
        return false;
    }
    return true;
}
