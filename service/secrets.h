// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// The server's random secrets (session identifiers, keys for scripts): 256
// bits from the system's random source, written as 43 characters of
// unpadded base64url, and kept only as a hash.
namespace secrets {

constexpr qsizetype kLength = 43;

QByteArray make();
// The SHA-256 of a secret, in hex: what is stored in its place. A fast hash
// is enough, as the secret itself has 256 random bits.
QByteArray hashOf(const QByteArray &secret);
// Whether two hashes are the same, in a time that does not depend on where
// they differ.
bool sameHash(const QByteArray &a, const QByteArray &b);

}  // namespace secrets
