// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/trusteddevices.h"

#include "service/secrets.h"

#include <QMessageAuthenticationCode>

namespace {

constexpr auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

}  // namespace

QByteArray TrustedDevices::signatureOf(const QByteArray &payload) const
{
    return QMessageAuthenticationCode::hash(payload, m_key, QCryptographicHash::Sha256).toBase64(kBase64);
}

// ACCOUNT.NONCE.SIGNATURE, each in base64url: the nonce tells one browser
// from another, for its own failures.
QByteArray TrustedDevices::issue(const QString &account) const
{
    const QByteArray payload = account.toLower().toUtf8().toBase64(kBase64) + '.' + secrets::make();
    return payload + '.' + signatureOf(payload);
}

bool TrustedDevices::trusted(const QByteArray &cookie, const QString &account, Clock::time_point now)
{
    if (m_key.isEmpty() || account.isEmpty())
        return false;
    const qsizetype dot = cookie.lastIndexOf('.');
    if (dot <= 0)
        return false;
    const QByteArray payload = cookie.left(dot);
    if (!secrets::sameHash(signatureOf(payload), cookie.mid(dot + 1)))
        return false;
    const QByteArray named = QByteArray::fromBase64(payload.left(payload.indexOf('.')), kBase64);
    if (QString::fromUtf8(named) != account.toLower())
        return false;
    const auto found = m_failures.find(cookie);
    if (found == m_failures.end())
        return true;
    while (!found->empty() && found->front() <= now - kWindow)
        found->pop_front();
    if (found->empty()) {
        m_failures.erase(found);
        return true;
    }
    return int(found->size()) < kFailures;
}

void TrustedDevices::failed(const QByteArray &cookie, Clock::time_point now)
{
    std::deque<Clock::time_point> &recent = m_failures[cookie];
    recent.push_back(now);
    while (int(recent.size()) > kFailures)
        recent.pop_front();
}
