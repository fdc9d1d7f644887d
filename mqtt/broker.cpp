// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/broker.h"

#include <QUrl>

#include <algorithm>

namespace mqtt {

bool isName(const QString &text)
{
    return !text.isEmpty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c.unicode() < 0x80 && c.isLetterOrNumber()) || c == u'-' || c == u'_' || c == u'.';
    });
}

QString boardIdMistake(const QString &id)
{
    if (!isName(id))
        return QLatin1String(kNameRule);
    if (id == QLatin1String("group"))
        return QStringLiteral("a name other than group, whose topics are the groups' sends");
    return {};
}

std::optional<Broker> brokerOf(const QString &url, QString *why)
{
    const QUrl parsed(url, QUrl::StrictMode);
    Broker broker;
    broker.tls = parsed.scheme() == QLatin1String("mqtts");
    broker.host = parsed.host();
    // A user and password in the address would show in every list of
    // processes: they come from options and a file of their own.
    if (!parsed.isValid() || (!broker.tls && parsed.scheme() != QLatin1String("mqtt")) || broker.host.isEmpty()
        || !parsed.userInfo().isEmpty() || !(parsed.path().isEmpty() || parsed.path() == QLatin1String("/"))
        || parsed.hasQuery() || parsed.hasFragment() || parsed.port() == 0) {
        *why = QStringLiteral("--mqtt takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; the user and password come "
                              "from --mqtt-user and --mqtt-password-file");
        return std::nullopt;
    }
    broker.port = quint16(parsed.port(broker.tls ? 8883 : 1883));
    return broker;
}

}  // namespace mqtt
