// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/secrets.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <sodium.h>

#include <array>

namespace secrets {

QByteArray make()
{
    std::array<quint32, 8> random;
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    return QByteArray(reinterpret_cast<const char *>(random.data()), sizeof random)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray hashOf(const QByteArray &secret)
{
    return QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex();
}

bool sameHash(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

}  // namespace secrets
