// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/pageaddresses.h"

namespace {

QString url(const QString &scheme, const QHostAddress &address, quint16 port)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("%1://[%2]:%3/").arg(scheme, address.toString()).arg(port)
               : QStringLiteral("%1://%2:%3/").arg(scheme, address.toString()).arg(port);
}

}  // namespace

QStringList pageAddresses(const QString &scheme, const QList<std::pair<QHostAddress, quint16>> &listening,
                          const QString &hostName, const QList<QHostAddress> &machine)
{
    QStringList addresses;
    const auto add = [&](const QString &text) {
        if (!addresses.contains(text))
            addresses << text;
    };
    for (const auto &[address, port] : listening) {
        const bool any = address == QHostAddress(QHostAddress::Any);
        const bool anyIPv4 = address == QHostAddress(QHostAddress::AnyIPv4);
        const bool anyIPv6 = address == QHostAddress(QHostAddress::AnyIPv6);
        if (!any && !anyIPv4 && !anyIPv6) {
            add(url(scheme, address, port));
            continue;
        }
        if (!hostName.isEmpty())
            add(QStringLiteral("%1://%2.local:%3/").arg(scheme, hostName.toLower()).arg(port));
        for (const QHostAddress &own : machine) {
            if (own.isLoopback() || own.isLinkLocal())
                continue;
            const bool v6 = own.protocol() == QAbstractSocket::IPv6Protocol;
            if (any || (anyIPv4 && !v6) || (anyIPv6 && v6))
                add(url(scheme, own, port));
        }
    }
    return addresses;
}
