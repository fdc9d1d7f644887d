// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/sessions.h"

#include "service/secrets.h"
#include "service/statefolder.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <sodium.h>

using namespace std::chrono;

namespace {

// A cookie value is the identifier's 32 bytes in unpadded base64url: 43
// characters, and nothing else is one.
constexpr qsizetype kCookieLength = secrets::kLength;
constexpr auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

qint64 toSeconds(SessionStore::Clock::time_point t) { return duration_cast<seconds>(t.time_since_epoch()).count(); }
SessionStore::Clock::time_point fromSeconds(qint64 s) { return SessionStore::Clock::time_point{seconds(s)}; }

}  // namespace

QByteArray SessionStore::hashOf(const QByteArray &cookie) { return secrets::hashOf(cookie); }

bool SessionStore::expired(const Session &session, Clock::time_point now) const
{
    const auto idle = session.kept ? duration_cast<Clock::duration>(kKept) : duration_cast<Clock::duration>(kIdle);
    const auto absolute = session.kept ? kKept : kAbsolute;
    return now - session.lastSeen >= idle || now - session.created >= absolute || now < session.created;
}

void SessionStore::dropExpired(Clock::time_point now)
{
    m_sessions.removeIf([&](const auto &entry) { return expired(entry.value(), now); });
}

QList<SessionStore::Session> SessionStore::sessions(Clock::time_point now)
{
    dropExpired(now);
    return m_sessions.values();
}

QByteArray SessionStore::open(const QString &account, bool kept, const QString &device, const QString &address,
                              Clock::time_point now)
{
    dropExpired(now);
    const QByteArray cookie = secrets::make();
    Session session{hashOf(cookie), account, device.left(200), address, kept, now, now};
    QList<const Session *> theirs;
    for (const Session &other : std::as_const(m_sessions))
        if (other.account == account)
            theirs.append(&other);
    if (theirs.size() >= kPerAccount) {
        std::sort(theirs.begin(), theirs.end(),
                  [](const Session *a, const Session *b) { return a->lastSeen < b->lastSeen; });
        QList<QByteArray> ended;
        for (qsizetype i = 0; i <= theirs.size() - kPerAccount; ++i)
            ended.append(theirs.at(i)->idHash);
        for (const QByteArray &idHash : std::as_const(ended))
            m_sessions.remove(idHash);
    }
    m_sessions.insert(session.idHash, session);
    return cookie;
}

const SessionStore::Session *SessionStore::find(const QByteArray &cookie, Clock::time_point now)
{
    if (cookie.size() != kCookieLength)
        return nullptr;
    const auto it = m_sessions.find(hashOf(cookie));
    if (it == m_sessions.end())
        return nullptr;
    if (expired(*it, now)) {
        m_sessions.erase(it);
        return nullptr;
    }
    it->lastSeen = now;
    return &*it;
}

void SessionStore::close(const QByteArray &cookie) { m_sessions.remove(hashOf(cookie)); }

void SessionStore::closeByHash(const QByteArray &idHash) { m_sessions.remove(idHash); }

void SessionStore::closeAccount(const QString &account, const QByteArray &keep)
{
    const QByteArray kept = keep.isEmpty() ? QByteArray() : hashOf(keep);
    m_sessions.removeIf([&](const auto &entry) { return entry.value().account == account && entry.key() != kept; });
}

QByteArray SessionStore::csrfToken(const QByteArray &cookie)
{
    return QCryptographicHash::hash("pelorin csrf\n" + cookie, QCryptographicHash::Sha256).toBase64(kBase64);
}

bool SessionStore::csrfMatches(const QByteArray &cookie, const QByteArray &token)
{
    const QByteArray expected = csrfToken(cookie);
    return !cookie.isEmpty() && token.size() == expected.size()
           && sodium_memcmp(expected.constData(), token.constData(), size_t(token.size())) == 0;
}

QByteArray SessionStore::toJson() const
{
    QJsonArray list;
    for (const Session &s : m_sessions) {
        list.append(QJsonObject{{"id_sha256", QString::fromLatin1(s.idHash)},
                                {"account", s.account},
                                {"device", s.device},
                                {"address", s.address},
                                {"kept", s.kept},
                                {"created", toSeconds(s.created)},
                                {"last_seen", toSeconds(s.lastSeen)}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

std::optional<SessionStore> SessionStore::fromJson(const QByteArray &json, Clock::time_point now, QString *why)
{
    QJsonDocument document;
    *why = StateFolder::parseJson(json, QJsonValue::Array, &document);
    if (!why->isEmpty())
        return std::nullopt;
    // Each record as this server writes it, or the file is no list of
    // sessions: a record of another shape was not written here, and
    // nothing of a file that holds one is trusted to sign anyone in.
    static const QRegularExpression kHash(QStringLiteral("^[0-9a-f]{64}$"));
    SessionStore store;
    const QJsonArray list = document.array();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject o = list.at(i).toObject();
        const QJsonValue idHash = o.value(QLatin1String("id_sha256")), account = o.value(QLatin1String("account")),
                         device = o.value(QLatin1String("device")), address = o.value(QLatin1String("address")),
                         kept = o.value(QLatin1String("kept")), created = o.value(QLatin1String("created")),
                         lastSeen = o.value(QLatin1String("last_seen"));
        QString wrong;
        if (!list.at(i).isObject())
            wrong = QStringLiteral("it is no record");
        else if (!idHash.isString() || !kHash.match(idHash.toString()).hasMatch())
            wrong = QStringLiteral("id_sha256 is no hash");
        else if (!account.isString() || account.toString().isEmpty())
            wrong = QStringLiteral("account is no name");
        else if (!device.isString() || !address.isString())
            wrong = QStringLiteral("device or address is no text");
        else if (!kept.isBool())
            wrong = QStringLiteral("kept is neither true nor false");
        else if (!created.isDouble() || !lastSeen.isDouble())
            wrong = QStringLiteral("created or last_seen is no time");
        if (!wrong.isEmpty()) {
            *why = QStringLiteral("session %1 cannot be read: %2").arg(i + 1).arg(wrong);
            return std::nullopt;
        }
        const QByteArray hash = idHash.toString().toLatin1();
        store.m_sessions.insert(hash, Session{hash, account.toString(), device.toString(), address.toString(),
                                              kept.toBool(), fromSeconds(qint64(created.toDouble())),
                                              fromSeconds(qint64(lastSeen.toDouble()))});
    }
    store.dropExpired(now);
    return store;
}

SessionStore SessionStore::load(StateFolder &state, const QString &name, Clock::time_point now)
{
    SessionStore store;
    state.readWhole(
        name,
        [&](const QByteArray &bytes) {
            QString why;
            if (auto read = fromJson(bytes, now, &why))
                store = std::move(*read);
            return why;
        },
        QStringLiteral("Everyone who was signed in signs in again; nothing else is lost."));
    return store;
}
