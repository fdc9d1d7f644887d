// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/requestguard.h"

#include <QHostAddress>
#include <QUrl>

namespace {

// "host" and "host:port" alike: the port a scheme implies is no part of
// the comparison, as a browser leaves it out of both headers.
QString authority(const QString &host, int port, const QString &scheme)
{
    const int implied = scheme == QLatin1String("https") ? 443 : 80;
    return port < 0 || port == implied ? host : host + QLatin1Char(':') + QString::number(port);
}

// The host and port of a Host header, or an empty host.
std::pair<QString, int> splitHost(const QByteArray &header)
{
    const QString text = QString::fromLatin1(header.trimmed()).toLower();
    if (text.isEmpty() || text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('@'))
        || text.contains(QLatin1Char(' ')))
        return {};
    QString host = text;
    QString port;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return {};
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return {};
        port = rest.mid(1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return {};
    } else {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0) {
            if (text.indexOf(QLatin1Char(':')) != colon)
                return {};  // an IPv6 address comes in brackets
            host = text.left(colon);
            port = text.mid(colon + 1);
        }
    }
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    int number = -1;
    if (!port.isEmpty()) {
        bool ok = false;
        number = port.toInt(&ok);
        if (!ok || number < 1 || number > 65535 || port.startsWith(QLatin1Char('+')))
            return {};
    }
    return {host, number};
}

}  // namespace

QString hostOf(const QByteArray &hostHeader) { return splitHost(hostHeader).first; }

bool isOwnHost(const QByteArray &hostHeader, const QHostAddress &localAddress, const QStringList &ownNames)
{
    const QString host = hostOf(hostHeader);
    if (host.isEmpty())
        return false;
    const QHostAddress asAddress(host);
    if (!asAddress.isNull())
        return asAddress.isEqual(localAddress, QHostAddress::TolerantConversion);
    for (QString name : ownNames) {
        name = name.toLower();
        if (name.endsWith(QLatin1Char('.')))
            name.chop(1);
        if (!name.isEmpty() && name == host)
            return true;
    }
    return false;
}

Origin judgeOrigin(const QByteArray &origin, const QByteArray &referer, const QByteArray &hostHeader,
                   const QString &scheme)
{
    const QByteArray claimed = origin.isEmpty() ? referer : origin;
    if (claimed.isEmpty())
        return Origin::Absent;
    const QUrl url(QString::fromLatin1(claimed), QUrl::StrictMode);
    const auto [host, port] = splitHost(hostHeader);
    if (!url.isValid() || host.isEmpty() || url.scheme() != scheme)
        return Origin::Foreign;
    QString urlHost = url.host().toLower();
    if (urlHost.endsWith(QLatin1Char('.')))
        urlHost.chop(1);
    return authority(urlHost, url.port(), scheme) == authority(host, port, scheme) ? Origin::Same : Origin::Foreign;
}
