// SPDX-License-Identifier: GPL-3.0-or-later
#include "serve/serve.h"

#include "mqtt/door.h"
#include "service/clocksync.h"
#include "web/pageaddresses.h"
#include "web/service.h"
#include "web/tls.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTimer>

#include <cstdio>

#include <memory>
#include <optional>
#include <tuple>

namespace {

// The server runs on Linux alone, whose terminals and journal take the
// locale's encoding.
void printText(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

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

struct Endpoint {
    QString text;
    QHostAddress address;
    quint16 port = 0;
};

// "ADDRESS:PORT", "[::1]:PORT"; the command line has judged the port.
std::optional<Endpoint> endpointOf(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (address.isNull())
        return std::nullopt;
    return Endpoint{text, address, quint16(text.mid(colon + 1).toInt())};
}

}  // namespace

int runServe(const ServeOptions &options)
{
    StateFolder state(StateFolder::locate(options.state));
    if (!state.open()) {
        printText(stderr, QStringLiteral("pelorin: %1\n").arg(state.error()));
        return 1;
    }
    if (options.setupCode) {
        // A code for an account that is not there would only fail later,
        // in front of someone who cannot ask root.
        AccountStore accounts(state);
        if (!accounts.load()) {
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(accounts.error()));
            return 1;
        }
        const AccountStore::Account *account =
            options.setupAccount.isEmpty() ? nullptr : accounts.find(options.setupAccount);
        if (!options.setupAccount.isEmpty() && !account) {
            printText(stderr,
                      QStringLiteral("pelorin: --account %1: there is no such account\n").arg(options.setupAccount));
            return 1;
        }
        const SetupCode code = SetupCode::make(SetupCode::Clock::now());
        if (!Board::writeSetupCode(state, code, account ? account->name : QString())
            || !state.giveToFolderOwner(QStringLiteral("setup-code.json"))) {
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(state.error()));
            return 1;
        }
        printText(stdout, QStringLiteral("setup code: %1\nValid for 30 minutes: open the board's page, choose "
                                         "\"Set up\", and give it with %2's new password.\n")
                              .arg(code.text(), account ? account->name : QStringLiteral("the owner")));
        return 0;
    }
    // Every file and address is judged before anything starts, the
    // schedule included.
    std::optional<QSslConfiguration> tlsConfiguration;
    if (!options.tlsCertificate.isEmpty()) {
        QString why;
        tlsConfiguration = tls::load(options.tlsCertificate, options.tlsKey, &why);
        if (!tlsConfiguration) {
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(why));
            return 1;
        }
    }
    QList<QHostAddress> proxies;
    for (const QString &proxy : options.trustedProxies) {
        const QHostAddress address(proxy);
        if (address.isNull()) {
            printText(stderr, QStringLiteral("pelorin: --trusted-proxy %1: that is no address\n").arg(proxy));
            return 2;
        }
        proxies << address;
    }
    QList<Endpoint> listens, redirects;
    if (options.listen.isEmpty())
        listens << Endpoint{QString::number(kServePort), QHostAddress::Any, kServePort};  // IPv6 and IPv4 alike
    for (const auto &[given, into, option] : {std::tuple{&options.listen, &listens, "--listen"},
                                              std::tuple{&options.redirectFrom, &redirects, "--redirect-from"}}) {
        for (const QString &text : *given) {
            const std::optional<Endpoint> endpoint = endpointOf(text);
            if (!endpoint) {
                printText(stderr, QStringLiteral("pelorin: %1 %2: that is no address\n").arg(option, text));
                return 2;
            }
            *into << *endpoint;
        }
    }

    std::unique_ptr<Board> board;
    std::unique_ptr<BoardService> service;
    std::unique_ptr<BoardHttpServer> server, redirector;
    std::unique_ptr<MqttDoor> door;
    // Starts the schedule and serves; non-zero, having said why, where it
    // cannot.
    const auto start = [&]() -> int {
        Board::Clocks clocks;
        if (options.clockIsSet)
            clocks.synchronised = [] { return true; };
        board = std::make_unique<Board>(state, systemSerialDevices, clocks);
        // Before the schedule's first look, which may send what it missed.
        board->setDevice(options.device);
        if (QString why; !board->open(&why)) {
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(why));
            return 1;
        }
        service = std::make_unique<BoardService>(*board);
        if (!options.mqtt.url.isEmpty()) {
            door = std::make_unique<MqttDoor>(*board, options.mqtt);
            if (!door->start()) {
                printText(stderr, QStringLiteral("pelorin: %1\n").arg(door->error()));
                return 2;
            }
            for (const QString &warning : door->warnings())
                printText(stderr, QStringLiteral("pelorin: %1\n").arg(warning));
        }
        for (const QString &problem : state.problems())
            printText(stderr, QStringLiteral("pelorin: %1\n").arg(problem));
        BoardService *handler = service.get();
        server = std::make_unique<BoardHttpServer>(
            [handler](const HttpRequest &r, const BoardHttpServer::Answer &a) { handler->handle(r, a); },
            ownNames(options.hostNames));
        server->setTrustedProxies(proxies);
        if (tlsConfiguration)
            server->setTls(*tlsConfiguration);
        QList<quint16> ports;
        QList<std::pair<QHostAddress, quint16>> listening;
        for (const Endpoint &endpoint : listens) {
            const quint16 port = server->listenOn(endpoint.address, endpoint.port);
            if (!port) {
                printText(
                    stderr,
                    QStringLiteral("pelorin: cannot serve on %1: %2\n").arg(endpoint.text, server->errorString()));
                return 1;
            }
            ports << port;
            listening.append({endpoint.address, port});
        }
        const QString scheme = tlsConfiguration ? QStringLiteral("https") : QStringLiteral("http");
        if (!redirects.isEmpty()) {
            const quint16 httpsPort = ports.first();
            redirector = std::make_unique<BoardHttpServer>(
                [httpsPort](const HttpRequest &r, const BoardHttpServer::Answer &a) {
                    a(redirectToHttps(r, httpsPort));
                },
                ownNames(options.hostNames));
            for (const Endpoint &endpoint : redirects) {
                if (!redirector->listenOn(endpoint.address, endpoint.port)) {
                    printText(stderr, QStringLiteral("pelorin: cannot redirect from %1: %2\n")
                                          .arg(endpoint.text, redirector->errorString()));
                    return 1;
                }
            }
        }
        // To standard error, which the journal keeps under systemd.
        QString said = QStringLiteral("pelorin: serving the board's page at:\n");
        for (const QString &address :
             pageAddresses(scheme, listening, QHostInfo::localHostName(), QNetworkInterface::allAddresses()))
            said += QStringLiteral("  %1\n").arg(address);
        if (!tlsConfiguration) {
            said += QStringLiteral("pelorin: plain HTTP: passwords and cookies cross the network unencrypted; "
                                   "where others share it, serve HTTPS (--tls-cert, --tls-key) or put a proxy "
                                   "with a certificate in front\n");
        }
        if (!QTimeZone::systemTimeZone().isValid()) {
            said += QStringLiteral("pelorin: this computer's time zone cannot be read (is tzdata installed?): the "
                                   "schedule's times are UTC\n");
        }
        if (!options.clockIsSet && !clocksync::synchronised()) {
            said += QStringLiteral("pelorin: the clock is not synchronised yet (%1): scheduled sends wait for it; "
                                   "where the clock is kept otherwise, start with --clock-is-set\n")
                        .arg(clocksync::how());
        }
        if (!board->setupCodeText().isEmpty()) {
            said += QStringLiteral("pelorin: this computer has no owner yet; open the page and claim it within 30 "
                                   "minutes with the\nsetup code: %1\n")
                        .arg(board->setupCodeText());
        }
        printText(stderr, said);
        return 0;
    };
    if (!tlsConfiguration) {
        if (const int failed = start())
            return failed;
        return QCoreApplication::exec();
    }
    tls::Proof proof(*tlsConfiguration);
    QObject::connect(&proof, &tls::Proof::done, [&](bool ok, const QString &error) {
        if (!ok) {
            printText(stderr, QStringLiteral("pelorin: --tls-cert %1 and --tls-key %2 do not work together: %3\n")
                                  .arg(options.tlsCertificate, options.tlsKey, error));
            QCoreApplication::exit(1);
            return;
        }
        if (const int failed = start())
            QCoreApplication::exit(failed);
    });
    // Once the event loop runs, which its end then ends.
    QTimer::singleShot(0, &proof, &tls::Proof::start);
    return QCoreApplication::exec();
}
