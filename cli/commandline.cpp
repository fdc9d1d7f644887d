// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commandline.h"

#include "model/messageset.h"

#include <QCommandLineParser>

#include <algorithm>

namespace {

CommandLine mistake(const QString &what = {})
{
    CommandLine line;
    line.action = CommandLine::Mistake;
    line.mistake = what;
    return line;
}

// "-" would be standard input, which a message file never comes from.
bool nameable(const QString &file) { return !file.isEmpty() && file != QLatin1String("-"); }

}  // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption virtualBoard(QStringLiteral("virtual-board"));
    const QCommandLineOption boardOnly(QStringLiteral("virtual-board-only"));
    const QCommandLineOption send(QStringLiteral("send"), {}, QStringLiteral("FILE.mes"));
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("PORT"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption porcelain(QStringLiteral("porcelain"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption serve(QStringLiteral("serve"));
    const QCommandLineOption listen(QStringLiteral("listen"), {}, QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption hostName(QStringLiteral("host-name"), {}, QStringLiteral("NAME"));
    const QCommandLineOption trustedProxy(QStringLiteral("trusted-proxy"), {}, QStringLiteral("ADDRESS"));
    const QCommandLineOption state(QStringLiteral("state"), {}, QStringLiteral("DIR"));
    const QCommandLineOption setupCode(QStringLiteral("setup-code"));
    const QCommandLineOption account(QStringLiteral("account"), {}, QStringLiteral("NAME"));
    const QCommandLineOption clockIsSet(QStringLiteral("clock-is-set"));
    const QCommandLineOption tlsCertificate(QStringLiteral("tls-cert"), {}, QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), {}, QStringLiteral("FILE"));
    const QCommandLineOption redirectFrom(QStringLiteral("redirect-from"), {}, QStringLiteral("ADDRESS:PORT"));
    parser.addOptions({virtualBoard, boardOnly, send,       port,           quiet,    listPorts,    porcelain,
                       help,         version,   serve,      listen,         hostName, trustedProxy, state,
                       setupCode,    account,   clockIsSet, tlsCertificate, tlsKey,   redirectFrom});
    // A name that starts with "-" is taken for an option; "./-x.mes" names
    // such a file.
    if (!parser.parse(QStringList{QStringLiteral("pelorin")} + arguments))
        return mistake(parser.errorText());
    CommandLine line;
    if (parser.isSet(help)) {
        line.action = CommandLine::Help;
        return line;
    }
    if (parser.isSet(version)) {
        line.action = CommandLine::Version;
        return line;
    }
    const QStringList files = parser.positionalArguments();
    const bool serveOptions = parser.isSet(listen) || parser.isSet(hostName) || parser.isSet(trustedProxy)
                              || parser.isSet(state) || parser.isSet(setupCode) || parser.isSet(account)
                              || parser.isSet(clockIsSet) || parser.isSet(tlsCertificate) || parser.isSet(tlsKey)
                              || parser.isSet(redirectFrom);
    if (parser.isSet(serve)) {
        if (!files.isEmpty() || parser.isSet(send) || parser.isSet(listPorts) || parser.isSet(quiet)
            || parser.isSet(virtualBoard) || parser.isSet(boardOnly) || parser.isSet(porcelain))
            return mistake(QStringLiteral("--serve takes only --listen, --port, --state, --host-name, "
                                          "--trusted-proxy, --clock-is-set, --tls-cert, --tls-key, --redirect-from, "
                                          "--setup-code and --account"));
        if (parser.values(port).size() > 1 || (parser.isSet(port) && parser.value(port).isEmpty()))
            return mistake(QStringLiteral("--port takes one port: a number from 1 to 4, or a device"));
        if (parser.isSet(tlsCertificate) != parser.isSet(tlsKey) || parser.values(tlsCertificate).size() > 1
            || parser.values(tlsKey).size() > 1)
            return mistake(QStringLiteral("--tls-cert and --tls-key go together, once each"));
        if (parser.isSet(redirectFrom) && !parser.isSet(tlsCertificate))
            return mistake(QStringLiteral("--redirect-from sends browsers to HTTPS, which --tls-cert and --tls-key "
                                          "serve"));
        if (parser.isSet(account) && (!parser.isSet(setupCode) || parser.values(account).size() > 1))
            return mistake(QStringLiteral("--account names, once, the account whose password a --setup-code resets"));
        for (const QString &address : parser.values(listen) + parser.values(redirectFrom)) {
            const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
            bool ok = false;
            const int number = colon > 0 ? address.mid(colon + 1).toInt(&ok) : 0;
            // Port 0 takes any free one, which the printed address then names.
            if (!ok || number < 0 || number > 65535)
                return mistake(
                    QStringLiteral("--listen and --redirect-from take ADDRESS:PORT, as 127.0.0.1:%1 or [::1]:%1")
                        .arg(kServePort));
        }
        line.action = CommandLine::Serve;
        line.serve.device = parser.value(port);
        line.serve.listen = parser.values(listen);
        line.serve.hostNames = parser.values(hostName);
        line.serve.trustedProxies = parser.values(trustedProxy);
        line.serve.state = parser.value(state);
        line.serve.setupCode = parser.isSet(setupCode);
        line.serve.setupAccount = parser.value(account);
        line.serve.clockIsSet = parser.isSet(clockIsSet);
        line.serve.tlsCertificate = parser.value(tlsCertificate);
        line.serve.tlsKey = parser.value(tlsKey);
        line.serve.redirectFrom = parser.values(redirectFrom);
        return line;
    }
    if (serveOptions)
        return mistake(
            QStringLiteral("--listen, --state, --host-name, --trusted-proxy, --clock-is-set, --tls-cert, --tls-key, "
                           "--redirect-from, --setup-code and --account go with --serve"));
    if (parser.isSet(porcelain) && !parser.isSet(listPorts))
        return mistake(QStringLiteral("--porcelain goes with --list-ports"));
    if (parser.isSet(listPorts)) {
        if (!files.isEmpty() || parser.isSet(send) || parser.isSet(port) || parser.isSet(quiet)
            || parser.isSet(virtualBoard) || parser.isSet(boardOnly))
            return mistake(QStringLiteral("--list-ports lists the serial devices, and takes only --porcelain"));
        line.action = CommandLine::ListPorts;
        line.porcelain = parser.isSet(porcelain);
        return line;
    }
    if (parser.isSet(send)) {
        const QStringList sent = parser.values(send);
        if (sent.size() > 1 || !files.isEmpty())
            return mistake(QStringLiteral("--send sends one file"));
        if (parser.isSet(virtualBoard) || parser.isSet(boardOnly)) {
            return mistake(QStringLiteral("--send goes to a board, not with one: start the virtual board with "
                                          "--virtual-board-only, and give its device with --port"));
        }
        line.port = parser.value(port);
        // Digits are a port of the window's; devices have names.
        const bool digits = !line.port.isEmpty()
                            && std::all_of(line.port.begin(), line.port.end(), [](QChar c) { return c.isDigit(); });
        if (parser.values(port).size() > 1 || (parser.isSet(port) && line.port.isEmpty())
            || (digits && portNumber(line.port) == 0))
            return mistake(QStringLiteral("--port takes one port: a number from 1 to 4, or a device"));
        if (!nameable(sent.value(0)))
            return mistake();
        line.action = CommandLine::Send;
        line.file = sent.value(0);
        line.quiet = parser.isSet(quiet);
        return line;
    }
    if (parser.isSet(port) || parser.isSet(quiet))
        return mistake(QStringLiteral("--port and --quiet go with --send"));
    if (parser.isSet(boardOnly)) {
        if (!files.isEmpty() || parser.isSet(virtualBoard))
            return mistake(QStringLiteral("--virtual-board-only shows the board alone"));
        line.action = CommandLine::VirtualBoardOnly;
        return line;
    }
    if (files.size() > 1 || (files.size() == 1 && !nameable(files[0])))
        return mistake();
    line.file = files.value(0);
    line.virtualBoard = parser.isSet(virtualBoard);
    return line;
}
