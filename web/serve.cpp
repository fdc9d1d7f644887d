// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/serve.h"

#include "cli/console.h"
#include "web/clocksync.h"
#include "web/service.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkInterface>

namespace {

// The names a request for this computer may give, beside the address it
// came in on.
QStringList ownNames(const QStringList &added)
{
    const QString host = QHostInfo::localHostName().toLower();
    QStringList names{QStringLiteral("localhost")};
    if (!host.isEmpty())
        names << host << host + QStringLiteral(".local");
    for (const QString &name : added)
        names << name.toLower();
    return names;
}

// Where a person on the network opens the page.
QStringList pageAddresses(quint16 port)
{
    QStringList addresses;
    const QString host = QHostInfo::localHostName().toLower();
    if (!host.isEmpty())
        addresses << QStringLiteral("http://%1.local:%2/").arg(host).arg(port);
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.isLoopback() || address.isLinkLocal())
            continue;
        addresses << (address.protocol() == QAbstractSocket::IPv6Protocol
                          ? QStringLiteral("http://[%1]:%2/").arg(address.toString()).arg(port)
                          : QStringLiteral("http://%1:%2/").arg(address.toString()).arg(port));
    }
    return addresses;
}

}  // namespace

int runServe(const CommandLine &commandLine, int argc, char *argv[])
{
    Q_UNUSED(argc);
    int toolkitArgc = 1;
    QCoreApplication app(toolkitArgc, argv);
    StateFolder state(StateFolder::locate(commandLine.state));
    if (!state.open()) {
        printText(stderr, QStringLiteral("pelorin: %1\n").arg(state.error()));
        return 1;
    }
    if (commandLine.setupCode) {
        const SetupCode code = SetupCode::make(SetupCode::Clock::now());
        if (!BoardService::writeSetupCode(state, code) || !state.giveToFolderOwner(QStringLiteral("setup-code.json"))) {
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(state.error()));
            return 1;
        }
        printText(stdout, QStringLiteral("setup code: %1\nValid for 30 minutes: open the board's page, choose "
                                         "\"Set up\", and give it with the owner's new password.\n")
                              .arg(code.text()));
        return 0;
    }
    BoardService::Clocks clocks;
    if (commandLine.clockIsSet)
        clocks.synchronised = [] { return true; };
    BoardService service(state, systemSerialDevices, clocks);
    // Before the schedule's first look, which may send what it missed.
    service.setDevice(commandLine.port);
    if (!service.open()) {
        printText(stderr, QStringLiteral("pelorin: %1\n").arg(service.error()));
        return 1;
    }
    BoardHttpServer server([&service](const HttpRequest &r, const BoardHttpServer::Answer &a) { service.handle(r, a); },
                           ownNames(commandLine.hostNames));
    QList<QHostAddress> proxies;
    for (const QString &proxy : commandLine.trustedProxies) {
        const QHostAddress address(proxy);
        if (address.isNull()) {
            printText(stderr, QStringLiteral("pelorin: --trusted-proxy %1: that is no address\n").arg(proxy));
            return 2;
        }
        proxies << address;
    }
    server.setTrustedProxies(proxies);
    QList<quint16> ports;
    if (commandLine.listen.isEmpty()) {
        // Every address, IPv6 and IPv4 alike.
        const quint16 port = server.listenOn(QHostAddress::Any, kServePort);
        if (!port) {
            printText(
                stderr,
                QStringLiteral("pelorin: cannot serve on port %1: %2\n").arg(kServePort).arg(server.errorString()));
            return 1;
        }
        ports << port;
    }
    for (const QString &listen : commandLine.listen) {
        const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
        QString host = listen.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        const QHostAddress address(host);
        if (address.isNull()) {
            printText(stderr, QStringLiteral("pelorin: --listen %1: %2 is no address\n").arg(listen, host));
            return 2;
        }
        const quint16 port = server.listenOn(address, quint16(listen.mid(colon + 1).toInt()));
        if (!port) {
            printText(stderr, QStringLiteral("pelorin: cannot serve on %1: %2\n").arg(listen, server.errorString()));
            return 1;
        }
        ports << port;
    }
    // To standard error, which the journal keeps under systemd.
    QString said = QStringLiteral("pelorin: serving the board's page at:\n");
    for (const QString &address : pageAddresses(ports.first()))
        said += QStringLiteral("  %1\n").arg(address);
    said += QStringLiteral("pelorin: plain HTTP: passwords and cookies cross the network unencrypted; where "
                           "others share it, serve HTTPS or put a proxy with a certificate in front\n");
    if (!commandLine.clockIsSet && !clocksync::synchronised()) {
        said += QStringLiteral("pelorin: the clock is not synchronised yet (%1): scheduled sends wait for it; "
                               "where the clock is kept otherwise, start with --clock-is-set\n")
                    .arg(clocksync::how());
    }
    if (!service.setupCode().isEmpty()) {
        said += QStringLiteral("pelorin: this computer has no owner yet; open the page and claim it within 30 "
                               "minutes with the\nsetup code: %1\n")
                    .arg(service.setupCode());
    }
    printText(stderr, said);
    return QCoreApplication::exec();
}
