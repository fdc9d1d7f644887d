// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/service.h"

#include "link/serialdevices.h"
#include "link/upload.h"
#include "web/clocksync.h"
#include "web/requestguard.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

using namespace std::chrono;

namespace {

const QString kSessions = QStringLiteral("sessions.json");
const QString kSetupCodeFile = QStringLiteral("setup-code.json");
const QString kSettings = QStringLiteral("settings.json");
const QString kKeys = QStringLiteral("keys.json");
// A key's last use is written at most so often: a script that asks for
// the status each second must not wear out a memory card.
constexpr qint64 kKeyUseWriteSecs = 600;
const QLatin1String kSetsPrefix("/api/sets/");

// The content types a plain form of another site can send, refused where
// JSON is expected: only a script of this page's own sends JSON.
bool isJson(const HttpRequest &request)
{
    const QByteArray type = request.header("content-type").split(';').first().trimmed().toLower();
    return type == "application/json";
}

bool changes(const HttpRequest &request) { return request.method != "GET" && request.method != "HEAD"; }

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

// A refusal while the sign-in throttle makes an address wait; `text` has
// %1 for the seconds.
HttpReply waitReply(const QString &text, SignInThrottle::Clock::duration wait)
{
    const qint64 secs = duration_cast<seconds>(wait).count();
    HttpReply reply = errorReply(429, text.arg(secs));
    reply.headers.append({"Retry-After", QByteArray::number(secs)});
    return reply;
}

QByteArray quoted(const QByteArray &version) { return '"' + version + '"'; }
QByteArray unquoted(QByteArray tag)
{
    tag = tag.trimmed();
    if (tag.startsWith("W/"))
        tag = tag.mid(2);
    return tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"') ? tag.mid(1, tag.size() - 2) : tag;
}

}  // namespace

HttpReply pageFile(const HttpRequest &request)
{
    static const QHash<QString, std::pair<QString, QByteArray>> files{
        {QStringLiteral("/"), {QStringLiteral(":/page/index.html"), "text/html; charset=utf-8"}},
        {QStringLiteral("/app.js"), {QStringLiteral(":/page/app.js"), "text/javascript; charset=utf-8"}},
        {QStringLiteral("/style.css"), {QStringLiteral(":/page/style.css"), "text/css; charset=utf-8"}},
    };
    const auto file = files.constFind(request.path);
    if (request.method != "GET" || file == files.cend())
        return errorReply(404, QStringLiteral("There is nothing at %1.").arg(request.path));
    QFile resource(file->first);
    if (!resource.open(QIODevice::ReadOnly))
        return errorReply(500, QStringLiteral("The page is missing from the program."));
    return {200, file->second, resource.readAll(), {}};
}

HttpReply jsonReply(int status, const QJsonValue &value)
{
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return {status, "application/json", document.toJson(QJsonDocument::Compact) + '\n', {}};
}

HttpReply errorReply(int status, const QString &error) { return jsonReply(status, QJsonObject{{"error", error}}); }

BoardService::BoardService(StateFolder &state, PortMap ports, QObject *parent)
    : BoardService(state, std::move(ports), Clocks(), parent)
{
}

BoardService::BoardService(StateFolder &state, PortMap ports, Clocks clocks, QObject *parent)
    : QObject(parent), m_state(state), m_clocks(std::move(clocks)), m_accounts(state), m_sets(state),
      m_log(state.path()), m_sender(std::move(ports)),
      m_scheduler(state, m_log, m_sets,
                  Scheduler::Clocks{[this] { return wallTime(); },
                                    m_clocks.synchronised ? m_clocks.synchronised
                                                          : std::function<bool()>(clocksync::synchronised),
                                    m_clocks.zone},
                  [this](const QString &set) { return startScheduled(set); })
{
    connect(&m_sender, &SetSender::sent, this, [this] { ended(QStringLiteral("sent"), false, {}); });
    connect(&m_sender, &SetSender::failed, this,
            [this](bool retryable, const QString &text) { ended(QStringLiteral("failed"), retryable, text); });
}

QDateTime BoardService::wallTime() const
{
    return QDateTime::fromMSecsSinceEpoch(duration_cast<milliseconds>(m_clocks.wall().time_since_epoch()).count(),
                                          Qt::UTC);
}

bool BoardService::open()
{
    if (!m_accounts.load()) {
        m_error = m_accounts.error();
        return false;
    }
    m_sessions = SessionStore::load(m_state, kSessions, m_clocks.wall());
    if (!m_deviceFixed)
        m_device = m_state
                       .readObject(kSettings, QStringLiteral("The board's port is not chosen: choose it again on the "
                                                             "board's page."))
                       .value(QLatin1String("device"))
                       .toString();
    if (!m_accounts.hasOwner())
        m_setupCode = SetupCode::make(m_clocks.wall());
    m_keys = KeyStore::load(m_state, kKeys);
    if (!m_scheduler.open()) {
        m_error = m_scheduler.error();
        return false;
    }
    return true;
}

bool BoardService::saveSessions() { return m_state.write(kSessions, m_sessions.toJson()); }

BoardService::Caller BoardService::callerOf(const HttpRequest &request)
{
    Caller caller;
    caller.cookie = cookieValue(request, kCookie);
    if (caller.cookie.isEmpty())
        return caller;
    caller.session = m_sessions.find(caller.cookie, m_clocks.wall());
    if (caller.session)
        caller.account = m_accounts.find(caller.session->account);
    if (!caller.account)
        caller.session = nullptr;
    return caller;
}

HttpReply BoardService::signedIn(const HttpRequest &request, const QString &account, bool kept, int status)
{
    const QByteArray cookie = m_sessions.open(account, kept, QString::fromUtf8(request.header("user-agent")),
                                              request.peer.toString(), m_clocks.wall());
    saveSessions();
    QByteArray setCookie = QByteArray(kCookie) + '=' + cookie + "; Path=/; HttpOnly; SameSite=Strict";
    if (kept)
        setCookie += "; Max-Age=" + QByteArray::number(duration_cast<seconds>(SessionStore::kKept).count());
    if (request.scheme == QLatin1String("https"))
        setCookie += "; Secure";
    const AccountStore::Account *found = m_accounts.find(account);
    HttpReply reply = jsonReply(status, QJsonObject{{"name", found->name},
                                                    {"role", AccountStore::roleName(found->role)},
                                                    {"csrf", QString::fromLatin1(SessionStore::csrfToken(cookie))}});
    reply.headers.append({"Set-Cookie", setCookie});
    return reply;
}

void BoardService::handle(const HttpRequest &request, const BoardHttpServer::Answer &answer)
{
    const QString path = request.path;
    if (!path.startsWith(QLatin1String("/api/"))) {
        answer(pageFile(request));
        return;
    }
    // Another site's page may send a request here, with this computer's
    // cookie; it is refused by where it comes from, before anything else.
    // A browser never sends Authorization to another site by itself: a
    // request with a key is judged by the key alone.
    const bool withKey = !request.header("authorization").isEmpty();
    if (changes(request) && !withKey
        && judgeOrigin(request.header("origin"), request.header("referer"), request.header("host"), request.scheme)
               == Origin::Foreign) {
        answer(errorReply(403, QStringLiteral("This request came from another page than the board's own.")));
        return;
    }
    const bool mesFile = request.method == "PUT" && path.endsWith(QLatin1String(".mes"));
    QJsonObject body;
    // A request with no body and no type (a stop, a sign-out) is no form.
    const bool bodiless = request.body.isEmpty() && request.header("content-type").isEmpty();
    if ((request.method == "POST" || request.method == "PUT") && !mesFile && !bodiless) {
        if (!isJson(request)) {
            answer(errorReply(415, QStringLiteral("Send JSON, as Content-Type: application/json.")));
            return;
        }
        QJsonParseError parsed{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &parsed);
        if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
            answer(errorReply(400, QStringLiteral("The body is no JSON object.")));
            return;
        }
        body = document.object();
    }
    if (withKey)
        return byKey(request, body, answer);
    if (path == QLatin1String("/api/setup") && request.method == "GET") {
        readSetupCodeFile();
        // A code root made for a forgotten password: the page offers its form.
        const bool waiting = m_accounts.hasOwner() && m_setupCode && !m_setupCode->expired(m_clocks.wall());
        answer(jsonReply(200, QJsonObject{{"needed", !m_accounts.hasOwner()}, {"code_waiting", waiting}}));
        return;
    }
    if (path == QLatin1String("/api/setup") && request.method == "POST")
        return setup(request, body, answer);
    if (path == QLatin1String("/api/login") && request.method == "POST")
        return login(request, body, answer);

    Caller caller = callerOf(request);
    if (!caller.session) {
        answer(errorReply(401, QStringLiteral("Sign in first.")));
        return;
    }
    if (changes(request) && !SessionStore::csrfMatches(caller.cookie, request.header("x-csrf-token"))) {
        answer(errorReply(403, QStringLiteral("This page's sign-in has changed; reload the page.")));
        return;
    }
    if (path == QLatin1String("/api/session") && request.method == "GET") {
        answer(jsonReply(200, QJsonObject{{"name", caller.account->name},
                                          {"role", AccountStore::roleName(caller.account->role)},
                                          {"csrf", QString::fromLatin1(SessionStore::csrfToken(caller.cookie))}}));
        return;
    }
    if (path == QLatin1String("/api/logout") && request.method == "POST") {
        m_sessions.close(caller.cookie);
        saveSessions();
        HttpReply reply{204, {}, {}, {}};
        reply.headers.append({"Set-Cookie", QByteArray(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"});
        answer(reply);
        return;
    }
    if (uploads(request, caller, body, answer))
        return;
    if (path == QLatin1String("/api/ports") && request.method == "GET") {
        QList<SerialDevice> devices = serialDevices();
        assessAccess(devices);
        QJsonArray list;
        for (const SerialDevice &d : devices) {
            list.append(QJsonObject{{"port", d.port},
                                    {"device", d.device},
                                    {"stable_name", d.stableName},
                                    {"state", d.state},
                                    {"why", d.why},
                                    {"description", d.description()}});
        }
        answer(jsonReply(200, list));
        return;
    }
    if (path == QLatin1String("/api/board")) {
        answer(board(request, caller, body));
        return;
    }
    if (path == QLatin1String("/api/password") && request.method == "POST")
        return changePassword(request, caller, body, answer);
    if (path.startsWith(QLatin1String("/api/accounts")) || path.startsWith(QLatin1String("/api/devices"))
        || path == QLatin1String("/api/log"))
        return owners(request, caller, body, answer);
    if (path == QLatin1String("/api/sets") || path.startsWith(kSetsPrefix)) {
        answer(sets(request, caller, path.mid(QLatin1String("/api/sets").size())));
        return;
    }
    if (path == QLatin1String("/api/schedule")) {
        answer(scheduleRequest(request, caller, body));
        return;
    }
    if (path == QLatin1String("/api/keys") || path.startsWith(QLatin1String("/api/keys/"))) {
        answer(keys(request, caller, body));
        return;
    }
    answer(errorReply(404, QStringLiteral("There is nothing at %1.").arg(path)));
}

bool BoardService::writeSetupCode(StateFolder &state, const SetupCode &code)
{
    const qint64 made = duration_cast<seconds>(code.made().time_since_epoch()).count();
    return state.write(kSetupCodeFile, QJsonDocument(QJsonObject{{"code", code.text()}, {"made", made}}).toJson());
}

void BoardService::readSetupCodeFile()
{
    bool exists = false;
    const QJsonObject o = QJsonDocument::fromJson(m_state.read(kSetupCodeFile, &exists)).object();
    const QString text = o.value(QLatin1String("code")).toString();
    if (!exists || text.isEmpty())
        return;
    // Written by root for a forgotten password: the newer code holds.
    const SetupCode fromFile(text, SessionStore::Clock::time_point{seconds(qint64(o.value("made").toDouble()))});
    if (!m_setupCode || fromFile.made() > m_setupCode->made())
        m_setupCode = fromFile;
}

void BoardService::setup(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer)
{
    const QString address = request.peer.toString();
    readSetupCodeFile();
    if (!m_setupCode) {
        answer(errorReply(409, QStringLiteral("This computer has its owner; sign in instead.")));
        return;
    }
    if (const auto wait = m_throttle.waitFor(address, m_clocks.steady()); wait.count() > 0) {
        answer(waitReply(QStringLiteral("Too many wrong codes; wait %1 s."), wait));
        return;
    }
    if (m_setupCode->expired(m_clocks.wall()) || !m_setupCode->matches(body.value(QLatin1String("code")).toString())) {
        m_throttle.failed(address, m_clocks.steady());
        m_log.record(m_clocks.wall(), {}, address, QStringLiteral("setup refused"));
        answer(errorReply(403, m_setupCode->expired(m_clocks.wall())
                                   ? QStringLiteral("The setup code has expired; make a new one with pelorin --serve "
                                                    "--setup-code.")
                                   : QStringLiteral("That is not the setup code.")));
        return;
    }
    // With an owner, the code is for a forgotten password, the owner's or
    // staff's: the name says whose, and only the password changes.
    QString name = body.value(QLatin1String("name")).toString();
    if (m_accounts.hasOwner()) {
        const AccountStore::Account *account = m_accounts.find(name);
        if (!account) {
            answer(errorReply(400, QStringLiteral("name: there is no account named \"%1\"; give the name of the "
                                                  "account whose password is forgotten.")
                                       .arg(name.left(AccountStore::kLongestName))));
            return;
        }
        name = account->name;
    }
    const QByteArray password = body.value(QLatin1String("password")).toString().toUtf8();
    if (!AccountStore::isAccountName(name) || password.size() < 8) {
        answer(errorReply(400, QStringLiteral("A name of 1 to 32 letters, digits, '.', '_' or '-', and a password "
                                              "of at least 8 characters.")));
        return;
    }
    const QString code = m_setupCode->text();
    const bool queued = m_hasher.hash(password, [this, request, name, code, address, answer](const QByteArray &hash) {
        // Used meanwhile by another request: the first one holds.
        if (!m_setupCode || m_setupCode->text() != code || hash.isEmpty()) {
            answer(errorReply(409, QStringLiteral("The setup code has been used; sign in instead.")));
            return;
        }
        const bool reset = m_accounts.hasOwner();
        if (!(reset ? m_accounts.setHash(name, hash) : m_accounts.add({name, AccountStore::Role::Owner, hash}))) {
            answer(errorReply(500, m_accounts.error()));
            return;
        }
        m_setupCode.reset();
        m_state.remove(kSetupCodeFile);
        m_throttle.succeeded(address);
        if (reset) {
            // The account's devices sign in again, with the new password;
            // for the owner's, every device, as whoever knew the old one
            // may have made accounts of their own.
            const bool owner = m_accounts.find(name)->role == AccountStore::Role::Owner;
            for (const AccountStore::Account &a : m_accounts.accounts()) {
                if (owner || a.name == name)
                    m_sessions.closeAccount(a.name);
            }
        }
        m_log.record(m_clocks.wall(), name, address,
                     reset ? QStringLiteral("password reset with a setup code") : QStringLiteral("owner created"));
        answer(signedIn(request, name, false, 201));
    });
    if (!queued)
        answer(errorReply(503, QStringLiteral("The server is busy signing people in; try again in a moment.")));
}

void BoardService::login(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer)
{
    const QString address = request.peer.toString();
    if (const auto wait = m_throttle.waitFor(address, m_clocks.steady()); wait.count() > 0) {
        answer(waitReply(QStringLiteral("Too many failed sign-ins; wait %1 s before the next."), wait));
        return;
    }
    const QString name = body.value(QLatin1String("name")).toString();
    const bool kept = body.value(QLatin1String("keep")).toBool();
    const AccountStore::Account *account = m_accounts.find(name);
    const QByteArray stored = account ? account->hash : QByteArray();
    const bool queued =
        m_hasher.verify(stored, body.value(QLatin1String("password")).toString().toUtf8(),
                        [this, request, name, kept, address, answer](bool matches, bool) {
                            const AccountStore::Account *account = m_accounts.find(name);
                            if (!matches || !account) {
                                m_throttle.failed(address, m_clocks.steady());
                                m_log.record(m_clocks.wall(), name.left(AccountStore::kLongestName), address,
                                             QStringLiteral("sign-in failed"));
                                // Never whether the name exists.
                                answer(errorReply(401, QStringLiteral("The name or the password is wrong.")));
                                return;
                            }
                            m_throttle.succeeded(address);
                            m_log.record(m_clocks.wall(), account->name, address, QStringLiteral("signed in"));
                            answer(signedIn(request, account->name, kept, 200));
                        });
    if (!queued)
        answer(errorReply(503, QStringLiteral("The server is busy signing people in; try again in a moment.")));
}

HttpReply BoardService::sets(const HttpRequest &request, const Caller &caller, const QString &rest)
{
    if (rest.isEmpty() && request.method == "GET") {
        QJsonArray list;
        for (const auto &[name, version] : m_sets.list())
            list.append(QJsonObject{{"name", name}, {"version", QString::fromLatin1(version)}});
        return jsonReply(200, list);
    }
    QString name = QUrl::fromPercentEncoding(rest.mid(1).toUtf8());
    const bool mesFile = name.endsWith(QLatin1String(".mes"));
    if (mesFile)
        name.chop(4);
    if (!SetStore::isSetName(name))
        return errorReply(400, QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _."));
    SetStore::Refusal refusal;
    const QByteArray ifMatch = request.header("if-match");
    const bool createOnly = request.header("if-none-match").trimmed() == "*";
    const std::optional<QByteArray> expected =
        ifMatch.isEmpty() ? std::nullopt : std::optional<QByteArray>(unquoted(ifMatch));
    if (request.method == "GET") {
        if (mesFile) {
            const QByteArray file = m_sets.file(name, &refusal);
            if (refusal)
                return errorReply(refusal.status, refusal.error);
            HttpReply reply{200, "application/x-tavro-messages", file, {}};
            reply.headers.append({"ETag", quoted(SetStore::versionOf(file))});
            reply.headers.append(
                {"Content-Disposition", "attachment; filename=\"" + QUrl::toPercentEncoding(name) + ".mes\""});
            return reply;
        }
        const auto set = m_sets.get(name, &refusal);
        if (!set)
            return errorReply(refusal.status, refusal.error);
        QJsonObject json = SetStore::toJson(*set);
        // What a send of it takes, so the page can say so before it starts.
        MessageSet record = SetStore::messageSet(*set);
        upload::begin(record);
        json.insert(QLatin1String("seconds"), upload::secondsLeft(upload::progress(record, m_sender.tickMs())));
        HttpReply reply = jsonReply(200, json);
        reply.headers.append({"ETag", quoted(set->version)});
        return reply;
    }
    if (request.method == "PUT") {
        QByteArray version;
        if (mesFile) {
            version = m_sets.import(name, request.body, expected, createOnly, &refusal);
        } else {
            QJsonObject body = QJsonDocument::fromJson(request.body).object();
            const auto set = SetStore::fromJson(body, &refusal);
            if (set)
                version = m_sets.put(name, *set, expected, createOnly, &refusal);
        }
        if (refusal)
            return errorReply(refusal.status, refusal.error);
        m_log.record(m_clocks.wall(), caller.who(), request.peer.toString(), QStringLiteral("set saved"), name);
        HttpReply reply =
            jsonReply(createOnly ? 201 : 200, QJsonObject{{"name", name}, {"version", QString::fromLatin1(version)}});
        reply.headers.append({"ETag", quoted(version)});
        return reply;
    }
    if (request.method == "DELETE") {
        if (!expected)
            return errorReply(428, QStringLiteral("Say which version of the set is deleted (If-Match)."));
        if (!m_sets.remove(name, *expected, &refusal))
            return errorReply(refusal.status, refusal.error);
        m_log.record(m_clocks.wall(), caller.who(), request.peer.toString(), QStringLiteral("set deleted"), name);
        return {204, {}, {}, {}};
    }
    return errorReply(405, QStringLiteral("A set is read with GET, saved with PUT and deleted with DELETE."));
}

namespace {
// What the page tells a person to do after a failure.
const NextStep kPageNextStep{QStringLiteral("press Send again"), QStringLiteral("restart the board's server"), {}};
}  // namespace

QJsonObject BoardService::status() const
{
    QJsonObject s;
    if (m_sender.busy()) {
        const upload::Progress p = m_sender.progress();
        s = {{"state", "sending"},
             {"set", m_upload.set},
             {"sent", p.sent},
             {"total", p.total},
             {"seconds_left", upload::secondsLeft(p)}};
    } else {
        s = {{"state", "idle"}};
    }
    if (!m_last.isEmpty())
        s.insert(QLatin1String("last"), m_last);
    return s;
}

HttpReply BoardService::send(const HttpRequest &request, const Caller &caller, const QJsonObject &body)
{
    if (m_sender.busy()) {
        const QJsonObject now = status();
        return errorReply(409, QStringLiteral("\"%1\" is being sent, %2 of %3 characters, %4 s left; wait for it, "
                                              "or stop it.")
                                   .arg(m_upload.set)
                                   .arg(now.value("sent").toInt())
                                   .arg(now.value("total").toInt())
                                   .arg(now.value("seconds_left").toInt()));
    }
    SetStore::Refusal refusal;
    if (!startUpload(body.value(QLatin1String("set")).toString(), caller.who(), request.peer.toString(), kPageNextStep,
                     &refusal))
        return errorReply(refusal.status, refusal.error);
    return jsonReply(202, status());
}

bool BoardService::startUpload(const QString &name, const QString &who, const QString &address, const NextStep &next,
                               SetStore::Refusal *refusal)
{
    const auto set = m_sets.get(name, refusal);
    if (!set)
        return false;
    if (m_device.isEmpty()) {
        *refusal = {409, QStringLiteral("No port is chosen for the board yet; the owner chooses it.")};
        return false;
    }
    if (!m_sender.start(SetStore::messageSet(*set), m_device, next)) {
        m_log.record(m_clocks.wall(), who, address, QStringLiteral("send failed"), name);
        *refusal = {m_sender.retryable() ? 503 : 500,
                    m_sender.failure() + QStringLiteral(" ") + QStringLiteral("Nothing was sent.")};
        return false;
    }
    m_upload = {name, who};
    m_log.record(m_clocks.wall(), who, address, QStringLiteral("send started"), name);
    return true;
}

Scheduler::Start BoardService::startScheduled(const QString &name)
{
    // What a failure of a scheduled send tells the person who reads it on
    // the page afterwards.
    static const NextStep next{QStringLiteral("the schedule tries again a minute later, five times in all; or press "
                                              "Send"),
                               QStringLiteral("restart the board's server"),
                               {}};
    if (m_sender.busy())
        return {Scheduler::Start::Busy, false, {}};
    SetStore::Refusal refusal;
    if (!startUpload(name, QStringLiteral("schedule"), {}, next, &refusal))
        return {Scheduler::Start::Failed, refusal.status == 503, refusal.error};
    return {Scheduler::Start::Started, false, {}};
}

HttpReply BoardService::stop(const HttpRequest &request, const Caller &caller)
{
    if (!m_sender.busy())
        return errorReply(409, QStringLiteral("Nothing is being sent."));
    const upload::Progress p = m_sender.progress();
    m_sender.stop();
    m_log.record(m_clocks.wall(), caller.who(), request.peer.toString(), QStringLiteral("send stopped"), m_upload.set);
    ended(QStringLiteral("stopped"), false,
          QStringLiteral("Stopped after %1 of %2 characters: the board may now hold part "
                         "of the set; send the whole set again.")
              .arg(p.sent)
              .arg(p.total));
    return jsonReply(200, status());
}

void BoardService::ended(const QString &result, bool retryable, const QString &error)
{
    m_last = {{"set", m_upload.set}, {"result", result}, {"account", m_upload.account}};
    if (!error.isEmpty())
        m_last.insert(QLatin1String("error"), error);
    if (result != QLatin1String("stopped"))
        m_log.record(m_clocks.wall(), m_upload.account, {}, QStringLiteral("send ") + result, m_upload.set);
    // A scheduled send that waited for this one goes now.
    m_scheduler.uploadEnded(result, retryable, error);
}

void BoardService::owners(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                          const BoardHttpServer::Answer &answer)
{
    if (caller.account->role != AccountStore::Role::Owner) {
        answer(errorReply(403, QStringLiteral("Only the owner manages accounts and devices, and reads the log.")));
        return;
    }
    const QString path = request.path;
    const QString address = request.peer.toString();
    if (path == QLatin1String("/api/log") && request.method == "GET") {
        QJsonArray entries;
        for (const QJsonObject &entry : m_log.entries(500))
            entries.append(entry);
        answer(jsonReply(200, entries));
        return;
    }
    if (path == QLatin1String("/api/accounts") && request.method == "GET") {
        QJsonArray list;
        for (const AccountStore::Account &a : m_accounts.accounts())
            list.append(QJsonObject{{"name", a.name}, {"role", AccountStore::roleName(a.role)}});
        answer(jsonReply(200, list));
        return;
    }
    if (path == QLatin1String("/api/accounts") && request.method == "POST") {
        const QString name = body.value(QLatin1String("name")).toString();
        const QByteArray password = body.value(QLatin1String("password")).toString().toUtf8();
        if (!AccountStore::isAccountName(name) || m_accounts.find(name) || password.size() < 8) {
            answer(errorReply(400, QStringLiteral("A new name of 1 to 32 letters, digits, '.', '_' or '-', and a "
                                                  "password of at least 8 characters.")));
            return;
        }
        const QString owner = caller.account->name;
        const bool queued = m_hasher.hash(password, [this, name, owner, address, answer](const QByteArray &hash) {
            if (hash.isEmpty() || !m_accounts.add({name, AccountStore::Role::Staff, hash})) {
                answer(errorReply(400, m_accounts.error()));
                return;
            }
            m_log.record(m_clocks.wall(), owner, address, QStringLiteral("account added"), name);
            answer(jsonReply(201, QJsonObject{{"name", name}, {"role", QStringLiteral("staff")}}));
        });
        if (!queued)
            answer(errorReply(503, QStringLiteral("The server is busy; try again in a moment.")));
        return;
    }
    if (path.startsWith(QLatin1String("/api/accounts/")) && request.method == "DELETE") {
        const QString name = QUrl::fromPercentEncoding(path.mid(14).toUtf8());
        const AccountStore::Account *account = m_accounts.find(name);
        if (!account) {
            answer(errorReply(404, QStringLiteral("There is no account named \"%1\".").arg(name)));
            return;
        }
        if (account->role == AccountStore::Role::Owner) {
            answer(errorReply(409, QStringLiteral("The owner's account stays; a forgotten password is reset with "
                                                  "pelorin --serve --setup-code.")));
            return;
        }
        const QString removed = account->name;
        if (!m_accounts.remove(removed)) {
            answer(errorReply(500, m_accounts.error()));
            return;
        }
        m_sessions.closeAccount(removed);
        saveSessions();
        m_log.record(m_clocks.wall(), caller.account->name, address, QStringLiteral("account removed"), removed);
        answer({204, {}, {}, {}});
        return;
    }
    if (path == QLatin1String("/api/devices") && request.method == "GET") {
        const QByteArray mine = QCryptographicHash::hash(caller.cookie, QCryptographicHash::Sha256).toHex();
        QJsonArray list;
        for (const SessionStore::Session &s : m_sessions.sessions(m_clocks.wall())) {
            list.append(QJsonObject{{"id", QString::fromLatin1(s.idHash.left(16))},
                                    {"account", s.account},
                                    {"device", s.device},
                                    {"address", s.address},
                                    {"kept", s.kept},
                                    {"this", s.idHash == mine}});
        }
        answer(jsonReply(200, list));
        return;
    }
    if (path.startsWith(QLatin1String("/api/devices/")) && request.method == "DELETE") {
        const QByteArray id = path.mid(13).toLatin1();
        for (const SessionStore::Session &s : m_sessions.sessions(m_clocks.wall())) {
            if (id.size() == 16 && s.idHash.startsWith(id)) {
                m_sessions.closeByHash(s.idHash);
                saveSessions();
                m_log.record(m_clocks.wall(), caller.account->name, address, QStringLiteral("device signed out"),
                             s.account);
                answer({204, {}, {}, {}});
                return;
            }
        }
        answer(errorReply(404, QStringLiteral("That device is not signed in.")));
        return;
    }
    answer(errorReply(404, QStringLiteral("There is nothing at %1.").arg(path)));
}

void BoardService::changePassword(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                                  const BoardHttpServer::Answer &answer)
{
    const QByteArray current = body.value(QLatin1String("current")).toString().toUtf8();
    const QByteArray next = body.value(QLatin1String("new")).toString().toUtf8();
    if (next.size() < 8) {
        answer(errorReply(400, QStringLiteral("new: at least 8 characters.")));
        return;
    }
    const QString name = caller.account->name;
    const QByteArray cookie = caller.cookie;
    const QString address = request.peer.toString();
    const bool queued =
        m_hasher.verify(caller.account->hash, current, [this, name, cookie, next, address, answer](bool matches, bool) {
            if (!matches) {
                m_throttle.failed(address, m_clocks.steady());
                answer(errorReply(403, QStringLiteral("current: that is not the password.")));
                return;
            }
            const bool queued = m_hasher.hash(next, [this, name, cookie, address, answer](const QByteArray &hash) {
                if (hash.isEmpty() || !m_accounts.setHash(name, hash)) {
                    answer(errorReply(500, m_accounts.error()));
                    return;
                }
                // Every other device of the account signs in again.
                m_sessions.closeAccount(name, cookie);
                saveSessions();
                m_log.record(m_clocks.wall(), name, address, QStringLiteral("password changed"));
                answer({204, {}, {}, {}});
            });
            if (!queued)
                answer(errorReply(503, QStringLiteral("The server is busy; try again in a moment.")));
        });
    if (!queued)
        answer(errorReply(503, QStringLiteral("The server is busy; try again in a moment.")));
}

HttpReply BoardService::board(const HttpRequest &request, const Caller &caller, const QJsonObject &body)
{
    if (request.method == "GET")
        return jsonReply(200, QJsonObject{{"device", m_device}, {"fixed", m_deviceFixed}});
    if (request.method != "PUT")
        return errorReply(405, QStringLiteral("The board's port is read with GET and chosen with PUT."));
    if (caller.account->role != AccountStore::Role::Owner)
        return errorReply(403, QStringLiteral("Only the owner chooses the board's port."));
    if (m_deviceFixed)
        return errorReply(
            409, QStringLiteral("The board's port is given where the server is started (--port %1).").arg(m_device));
    const QString device = body.value(QLatin1String("device")).toString();
    if (device.isEmpty() || device.size() > 200 || (!device.startsWith(QLatin1Char('/')) && portNumber(device) == 0))
        return errorReply(400, QStringLiteral("device: a port from 1 to 4, or a device such as /dev/ttyUSB0."));
    if (!m_state.write(kSettings, QJsonDocument(QJsonObject{{"device", device}}).toJson()))
        return errorReply(500, m_state.error());
    m_device = device;
    m_log.record(m_clocks.wall(), caller.account->name, request.peer.toString(), QStringLiteral("port chosen"), device);
    return jsonReply(200, QJsonObject{{"device", m_device}, {"fixed", false}});
}

bool BoardService::uploads(const HttpRequest &request, const Caller &caller, const QJsonObject &body,
                           const BoardHttpServer::Answer &answer)
{
    if (request.path == QLatin1String("/api/status") && request.method == "GET")
        answer(jsonReply(200, status()));
    else if (request.path == QLatin1String("/api/send") && request.method == "POST")
        answer(send(request, caller, body));
    else if (request.path == QLatin1String("/api/stop") && request.method == "POST")
        answer(stop(request, caller));
    else
        return false;
    return true;
}

void BoardService::byKey(const HttpRequest &request, const QJsonObject &body, const BoardHttpServer::Answer &answer)
{
    const QString address = request.peer.toString();
    if (const auto wait = m_throttle.waitFor(address, m_clocks.steady()); wait.count() > 0) {
        answer(waitReply(QStringLiteral("Too many wrong keys or passwords; wait %1 s before the next."), wait));
        return;
    }
    const QByteArray authorization = request.header("authorization").trimmed();
    const bool bearer = authorization.left(7).toLower() == "bearer ";
    const QDateTime now = wallTime();
    Caller caller;
    if (bearer)
        caller.key = m_keys.use(authorization.mid(7).trimmed(), now);
    if (!caller.key) {
        m_throttle.failed(address, m_clocks.steady());
        m_log.record(m_clocks.wall(), {}, address, QStringLiteral("key refused"));
        HttpReply reply = errorReply(401, QStringLiteral("That is no key of this board's, or it has expired or been "
                                                         "revoked; the owner makes keys on the board's page, and a "
                                                         "script sends one as \"Authorization: Bearer KEY\"."));
        reply.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Bearer")});
        answer(reply);
        return;
    }
    m_throttle.succeeded(address);
    if (!m_keysSaved.isValid() || m_keysSaved.secsTo(now) >= kKeyUseWriteSecs) {
        m_state.write(kKeys, m_keys.toJson());
        m_keysSaved = now;
    }
    if (uploads(request, caller, body, answer))
        return;
    const QString path = request.path;
    // A script that sends needs the sets' names; one that edits, the sets.
    const bool edit = caller.key->scope == KeyStore::Scope::Edit;
    if ((path == QLatin1String("/api/sets") && request.method == "GET") || (edit && path.startsWith(kSetsPrefix))) {
        answer(sets(request, caller, path.mid(QLatin1String("/api/sets").size())));
        return;
    }
    answer(errorReply(
        403, QStringLiteral("The key \"%1\" may %2; the rest needs a person's sign-in.")
                 .arg(caller.key->name, edit ? QStringLiteral("send, save and delete sets, and read the status")
                                             : QStringLiteral("send sets and read the status"))));
}

HttpReply BoardService::keys(const HttpRequest &request, const Caller &caller, const QJsonObject &body)
{
    if (caller.account->role != AccountStore::Role::Owner)
        return errorReply(403, QStringLiteral("Only the owner makes and revokes keys."));
    const auto local = [this](const QDateTime &when) {
        return when.isValid() ? QJsonValue(when.toTimeZone(m_clocks.zone).toString(Qt::ISODate)) : QJsonValue();
    };
    // The last day a key works, as it was given.
    const auto lastDay = [this](const QDateTime &expires) {
        return expires.isValid()
                   ? QJsonValue(expires.addSecs(-1).toTimeZone(m_clocks.zone).date().toString(Qt::ISODate))
                   : QJsonValue();
    };
    const QString address = request.peer.toString();
    if (request.path == QLatin1String("/api/keys") && request.method == "GET") {
        QJsonArray list;
        for (const KeyStore::Key &k : m_keys.keys()) {
            list.append(QJsonObject{{"name", k.name},
                                    {"scope", KeyStore::scopeName(k.scope)},
                                    {"made", local(k.made)},
                                    {"expires", lastDay(k.expires)},
                                    {"last_used", local(k.lastUsed)}});
        }
        return jsonReply(200, list);
    }
    if (request.path == QLatin1String("/api/keys") && request.method == "POST") {
        const QString name = body.value(QLatin1String("name")).toString();
        const auto scope = KeyStore::scopeNamed(body.value(QLatin1String("scope")).toString());
        const QJsonValue expiresValue = body.value(QLatin1String("expires"));
        const QDateTime now = wallTime();
        // A key works to the end of the day it expires on, in local time.
        QDateTime expires;
        if (!expiresValue.isNull()) {
            const QDate date = QDate::fromString(expiresValue.toString(), QStringLiteral("yyyy-MM-dd"));
            if (date.isValid())
                expires = schedule::instant(date.addDays(1), QTime(0, 0), m_clocks.zone);
            if (!expires.isValid() || expires <= now)
                return errorReply(400, QStringLiteral("expires: a date from today on, as 2027-12-31, or null for a "
                                                      "key that never expires."));
        }
        if (!KeyStore::isKeyName(name))
            return errorReply(400, QStringLiteral("name: 1 to 32 letters, digits, '.', '_' or '-'."));
        if (!scope)
            return errorReply(400, QStringLiteral("scope: \"send\" or \"edit\"."));
        const QByteArray key = m_keys.make(name, *scope, expires, now);
        if (key.isEmpty())
            return errorReply(409, QStringLiteral("name: there is a key named \"%1\" already.").arg(name));
        if (!m_state.write(kKeys, m_keys.toJson())) {
            m_keys.revoke(name);
            return errorReply(500, m_state.error());
        }
        m_log.record(m_clocks.wall(), caller.who(), address, QStringLiteral("key made"),
                     name + QStringLiteral(" (") + KeyStore::scopeName(*scope) + QLatin1Char(')'));
        return jsonReply(201, QJsonObject{{"name", name},
                                          {"scope", KeyStore::scopeName(*scope)},
                                          {"expires", lastDay(expires)},
                                          {"key", QString::fromLatin1(key)}});
    }
    if (request.path.startsWith(QLatin1String("/api/keys/")) && request.method == "DELETE") {
        const QString name = QUrl::fromPercentEncoding(request.path.mid(10).toUtf8());
        if (!m_keys.revoke(name))
            return errorReply(404, QStringLiteral("There is no key named \"%1\".").arg(name));
        if (!m_state.write(kKeys, m_keys.toJson()))
            return errorReply(500, m_state.error());
        m_log.record(m_clocks.wall(), caller.who(), address, QStringLiteral("key revoked"), name);
        return {204, {}, {}, {}};
    }
    return errorReply(405, QStringLiteral("Keys are listed with GET, made with POST and revoked with DELETE."));
}

HttpReply BoardService::scheduleRequest(const HttpRequest &request, const Caller &caller, const QJsonObject &body)
{
    if (request.method == "GET") {
        HttpReply reply = jsonReply(200, m_scheduler.toJson());
        reply.headers.append({"ETag", quoted(m_scheduler.version())});
        return reply;
    }
    if (request.method != "PUT")
        return errorReply(405, QStringLiteral("The schedule is read with GET and saved whole with PUT."));
    const QByteArray ifMatch = request.header("if-match");
    if (ifMatch.isEmpty())
        return errorReply(428, QStringLiteral("Say which version of the schedule is changed (If-Match)."));
    SetStore::Refusal refusal;
    const auto version = m_scheduler.replace(body.value(QLatin1String("entries")), unquoted(ifMatch), caller.who(),
                                             request.peer.toString(), &refusal);
    if (!version) {
        QJsonObject error{{"error", refusal.error}};
        // What the schedule is now, for the page to show beside the change.
        if (refusal.status == 412)
            error.insert(QLatin1String("schedule"), m_scheduler.toJson());
        return jsonReply(refusal.status, error);
    }
    HttpReply reply = jsonReply(200, m_scheduler.toJson());
    reply.headers.append({"ETag", quoted(*version)});
    return reply;
}
