// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commandline.h"

#include "model/messageset.h"
#include "mqtt/broker.h"

#include <QCommandLineParser>

#include <algorithm>
#include <array>
#include <vector>

namespace {

// What each option belongs to: the editor (no command given), one of the
// commands, or anything.
enum Command : unsigned {
    Edit = 1,
    Send = 2,
    List = 4,
    BoardOnly = 8,
    Serve = 16,
    Anything = Edit | Send | List | BoardOnly | Serve,
};

// One option, once: its names, its argument, where it belongs, and its help.
// The parser, its mistakes and the help are all made from these rows, so
// that an option is spelt in one place and every mistake with it is named
// the same way.
struct Option {
    const char *name;
    const char *argument;  // nullptr for a switch
    unsigned commands;     // the commands it goes with
    Command starts = {};   // the command this option gives, where it gives one
    // Other options it goes with, where it cannot stand alone.
    std::array<const char *, 2> needs = {};
    bool repeats = false;
    const char *help = "";
    const char *shortName = nullptr;
};

constexpr std::array kOptions{
    Option{"virtual-board",
           nullptr,
           Edit,
           {},
           {},
           false,
           "make port 1 a stand-in for the board, shown in a window of its own, and offer no other port"},
    Option{"virtual-board-only",
           nullptr,
           BoardOnly,
           BoardOnly,
           {},
           false,
           "show only the stand-in board, and print its device, which --send --port reaches from another shell; "
           "with no display, print what arrives instead"},
    Option{"send",
           "FILE.mes",
           Send,
           Send,
           {},
           false,
           "send the set in FILE.mes at 2400 baud 8N1, one character every half second, and exit"},
    Option{"port",
           "PORT",
           Send | Serve,
           {},
           {},
           false,
           "the board's port: a number from 1 to 4, as in the window, or a device (/dev/ttyUSB0, a stable name "
           "under /dev/serial/by-id/, COM7); without it, --send takes the port that the file names, and --serve "
           "the one its owner chooses"},
    Option{"quiet", nullptr, Send, {}, {}, false, "print only errors"},
    Option{"list-ports",
           nullptr,
           List,
           List,
           {},
           false,
           "list ports 1 to 4 and every other serial device: its device, stable name, whether this user may use "
           "it, and what it is"},
    Option{"porcelain",
           nullptr,
           List,
           {},
           {},
           false,
           "a device a line, for scripts: port, device, stable name, state and description between tabs, \"-\" "
           "for an empty field"},
    Option{"serve",
           nullptr,
           Serve,
           Serve,
           {},
           false,
           "serve the board's page and API, on port 8437 of every address (Linux only)"},
    Option{"listen", "ADDRESS:PORT", Serve, {}, {}, true, "listen there instead (again for more addresses)"},
    Option{"state",
           "DIR",
           Serve,
           {},
           {},
           false,
           "keep sets, accounts and the log there ($STATE_DIRECTORY, else $XDG_STATE_HOME/pelorin)"},
    Option{"host-name", "NAME", Serve, {}, {}, true, "answer to this name too"},
    Option{
        "trusted-proxy", "ADDRESS", Serve, {}, {}, true, "believe this proxy's X-Forwarded-For and X-Forwarded-Proto"},
    Option{"clock-is-set",
           nullptr,
           Serve,
           {},
           {},
           false,
           "send scheduled sets by the clock as it is, where no time service on this computer says it is "
           "synchronised (a container, a computer with a battery clock)"},
    Option{"tls-cert", "FILE", Serve, {}, {"tls-key"}, false, "serve HTTPS with this PEM certificate (and its chain)"},
    Option{"tls-key",
           "FILE",
           Serve,
           {},
           {"tls-cert"},
           false,
           "its PEM private key, which other users of the computer may not read"},
    Option{"redirect-from",
           "ADDRESS:PORT",
           Serve,
           {},
           {"tls-cert"},
           true,
           "plain HTTP there that only sends browsers to HTTPS"},
    Option{"setup-code",
           nullptr,
           Serve,
           {},
           {},
           false,
           "print a fresh setup code for a forgotten owner's password, and exit"},
    Option{"account",
           "NAME",
           Serve,
           {},
           {"setup-code"},
           false,
           "the code resets this account's password instead of the owner's"},
    Option{"mqtt",
           "URL",
           Serve,
           {},
           {},
           false,
           "take the board's commands from this MQTT broker too, and publish its state there: mqtt://HOST[:PORT], "
           "or mqtts://HOST[:PORT] for TLS"},
    Option{"mqtt-id",
           "ID",
           Serve,
           {},
           {"mqtt"},
           false,
           "the board's name in its topics, pelorin/ID/... (this computer's host name if not given)"},
    Option{"mqtt-user", "NAME", Serve, {}, {"mqtt"}, false, "the broker's account"},
    Option{"mqtt-password-file",
           "FILE",
           Serve,
           {},
           {"mqtt", "mqtt-user"},
           false,
           "its password, read from FILE (else from $CREDENTIALS_DIRECTORY/mqtt-password, where systemd gives it)"},
    Option{"mqtt-ca",
           "FILE",
           Serve,
           {},
           {"mqtt"},
           false,
           "check the broker's certificate against these PEM authorities, not the system's"},
    Option{"mqtt-cert",
           "FILE",
           Serve,
           {},
           {"mqtt", "mqtt-key"},
           false,
           "a PEM client certificate, for a broker that asks for one"},
    Option{"mqtt-key", "FILE", Serve, {}, {"mqtt", "mqtt-cert"}, false, "its PEM private key"},
    Option{"mqtt-group",
           "NAME",
           Serve,
           {},
           {"mqtt"},
           true,
           "take the sends published to pelorin/group/NAME/send too (again for more groups)"},
    Option{"mqtt-discovery",
           nullptr,
           Serve,
           {},
           {"mqtt"},
           false,
           "announce the board to Home Assistant, which then shows it with no configuration"},
    Option{"mqtt-discovery-prefix",
           "PREFIX",
           Serve,
           {},
           {"mqtt-discovery"},
           false,
           "Home Assistant's discovery prefix, if not homeassistant"},
    Option{"help", nullptr, Anything, {}, {}, false, "show this help and exit", "h"},
    Option{"version", nullptr, Anything, {}, {}, false, "show the version and exit", "v"},
};

QString dashed(const char *name) { return QStringLiteral("--") + QLatin1String(name); }

const Option &option(const char *name)
{
    return *std::find_if(kOptions.begin(), kOptions.end(),
                         [name](const Option &row) { return qstrcmp(row.name, name) == 0; });
}

// "--a", "--a or --b", "--a, --b or --c".
QString listed(const QStringList &names, const QString &last)
{
    if (names.size() < 2)
        return names.value(0);
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + u' ' + last + u' ' + names.last();
}

// The commands an option goes with, as a person would give them.
QString commandsOf(unsigned commands)
{
    QStringList names;
    for (const Option &row : kOptions) {
        if (row.starts && (commands & row.starts))
            names.append(dashed(row.name));
    }
    if (commands & Edit)
        names.prepend(QStringLiteral("the editor"));
    return listed(names, QStringLiteral("or"));
}

// What an option needs to be given with, for its help.
QString partnerOf(const Option &row)
{
    QStringList names;
    for (const char *name : row.needs) {
        if (name)
            names.append(dashed(name));
    }
    return names.isEmpty() ? commandsOf(row.commands) : listed(names, QStringLiteral("and"));
}

// The parser's answers, asked by an option's row or name.
class Given {
public:
    Given(const QCommandLineParser &parser, const std::vector<QCommandLineOption> &options)
        : m_parser(parser), m_options(options)
    {
    }
    QStringList values(const Option &row) const { return m_parser.values(of(row)); }
    bool isSet(const Option &row) const { return m_parser.isSet(of(row)); }
    QStringList values(const char *name) const { return values(option(name)); }
    QString value(const char *name) const { return values(name).value(0); }
    bool isSet(const char *name) const { return isSet(option(name)); }

private:
    const QCommandLineOption &of(const Option &row) const { return m_options[std::size_t(&row - kOptions.data())]; }
    const QCommandLineParser &m_parser;
    const std::vector<QCommandLineOption> &m_options;
};

CommandLine mistake(const QString &what = {})
{
    CommandLine line;
    line.action = CommandLine::Mistake;
    line.mistake = what;
    return line;
}

// "-" would be standard input, which a message file never comes from.
bool nameable(const QString &file) { return !file.isEmpty() && file != QLatin1String("-"); }

// ADDRESS:PORT; port 0 takes any free one, which the printed address then
// names.
bool addressWithPort(const QString &address)
{
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int number = colon > 0 ? address.mid(colon + 1).toInt(&ok) : 0;
    return ok && number >= 0 && number <= 65535;
}

// What is wrong with the values of the options a command takes, where the
// table alone does not say.
QString valueMistake(const Given &given, unsigned command)
{
    const QString port = given.value("port");
    // Digits are a port of the window's; devices have names.
    const bool digits = !port.isEmpty() && std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
    if (digits && command == Send && portNumber(port) == 0)
        return QStringLiteral("--port takes a number from 1 to 4, or a device");
    for (const char *name : {"listen", "redirect-from"}) {
        for (const QString &address : given.values(name)) {
            if (!addressWithPort(address))
                return QStringLiteral("%1 takes ADDRESS:PORT, as 127.0.0.1:%2 or [::1]:%2")
                    .arg(dashed(name))
                    .arg(kServePort);
        }
    }
    if (QString why; given.isSet("mqtt") && !mqtt::brokerOf(given.value("mqtt"), &why))
        return why;
    if (const QString why = mqtt::boardIdMistake(given.value("mqtt-id")); given.isSet("mqtt-id") && !why.isEmpty())
        return QStringLiteral("--mqtt-id takes %1").arg(why);
    for (const char *name : {"mqtt-group", "mqtt-discovery-prefix"}) {
        for (const QString &level : given.values(name)) {
            if (!mqtt::isName(level))
                return QStringLiteral("%1 takes %2").arg(dashed(name), QLatin1String(mqtt::kNameRule));
        }
    }
    return {};
}

ServeOptions serveOptions(const Given &given)
{
    ServeOptions serve;
    serve.device = given.value("port");
    serve.listen = given.values("listen");
    serve.hostNames = given.values("host-name");
    serve.trustedProxies = given.values("trusted-proxy");
    serve.state = given.value("state");
    serve.setupCode = given.isSet("setup-code");
    serve.setupAccount = given.value("account");
    serve.clockIsSet = given.isSet("clock-is-set");
    serve.tlsCertificate = given.value("tls-cert");
    serve.tlsKey = given.value("tls-key");
    serve.redirectFrom = given.values("redirect-from");
    serve.mqtt.url = given.value("mqtt");
    serve.mqtt.id = given.value("mqtt-id");
    serve.mqtt.user = given.value("mqtt-user");
    serve.mqtt.passwordFile = given.value("mqtt-password-file");
    serve.mqtt.ca = given.value("mqtt-ca");
    serve.mqtt.certificate = given.value("mqtt-cert");
    serve.mqtt.key = given.value("mqtt-key");
    serve.mqtt.groups = given.values("mqtt-group");
    serve.mqtt.discovery = given.isSet("mqtt-discovery");
    if (given.isSet("mqtt-discovery-prefix"))
        serve.mqtt.discoveryPrefix = given.value("mqtt-discovery-prefix");
    return serve;
}

// Words wrapped at `width`, the first line starting at column `first` and
// every later one indented to `indent`.
QString wrapped(const QString &text, qsizetype first, qsizetype indent, qsizetype width)
{
    QString out;
    qsizetype column = first;
    bool lineStart = true;
    for (const QString &word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!lineStart && column + 1 + word.size() > width) {
            out += u'\n' + QString(indent, u' ');
            column = indent;
            lineStart = true;
        }
        if (!lineStart) {
            out += u' ';
            ++column;
        }
        out += word;
        column += word.size();
        lineStart = false;
    }
    return out;
}

}  // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    std::vector<QCommandLineOption> options;
    for (const Option &row : kOptions) {
        QStringList names{QLatin1String(row.name)};
        if (row.shortName)
            names.prepend(QLatin1String(row.shortName));
        options.emplace_back(names, QString(), row.argument ? QLatin1String(row.argument) : QString());
    }
    parser.addOptions({options.begin(), options.end()});
    // A name that starts with "-" is taken for an option; "./-x.mes" names
    // such a file.
    if (!parser.parse(QStringList{QStringLiteral("pelorin")} + arguments))
        return mistake(parser.errorText());
    const Given given(parser, options);
    if (given.isSet("help")) {
        CommandLine line;
        line.action = CommandLine::Help;
        return line;
    }
    if (given.isSet("version")) {
        CommandLine line;
        line.action = CommandLine::Version;
        return line;
    }

    unsigned command = Edit;
    const Option *commandOption = nullptr;
    for (const Option &row : kOptions) {
        if (!row.starts || !given.isSet(row))
            continue;
        if (commandOption)
            return mistake(QStringLiteral("%1 and %2 are two commands: give one")
                               .arg(dashed(commandOption->name), dashed(row.name)));
        commandOption = &row;
        command = row.starts;
    }
    for (const Option &row : kOptions) {
        if (!given.isSet(row) || row.starts)
            continue;
        if (!(row.commands & command)) {
            if (commandOption) {
                QStringList taken;
                for (const Option &other : kOptions) {
                    if ((other.commands & command) && !other.starts && other.commands != Anything)
                        taken.append(dashed(other.name));
                }
                return mistake(taken.isEmpty()
                                   ? QStringLiteral("%1 takes no option").arg(dashed(commandOption->name))
                                   : QStringLiteral("%1 takes only %2")
                                         .arg(dashed(commandOption->name), listed(taken, QStringLiteral("and"))));
            }
            return mistake(QStringLiteral("%1 goes with %2").arg(dashed(row.name), commandsOf(row.commands)));
        }
        for (const char *partner : row.needs) {
            if (partner && !given.isSet(partner))
                return mistake(QStringLiteral("%1 goes with %2").arg(dashed(row.name), dashed(partner)));
        }
    }
    for (const Option &row : kOptions) {
        if (!row.argument)
            continue;
        const QStringList values = given.values(row);
        if ((values.size() > 1 && !row.repeats)
            || std::any_of(values.begin(), values.end(), [](const QString &value) { return value.isEmpty(); }))
            return mistake(QStringLiteral("%1 takes one %2").arg(dashed(row.name), QLatin1String(row.argument)));
    }
    if (const QString why = valueMistake(given, command); !why.isEmpty())
        return mistake(why);

    const QStringList files = parser.positionalArguments();
    CommandLine line;
    switch (command) {
    case Serve:
    case List:
    case BoardOnly:
        if (!files.isEmpty())
            return mistake(QStringLiteral("%1 takes no file").arg(dashed(commandOption->name)));
        break;
    case Send:
        if (!files.isEmpty())
            return mistake(QStringLiteral("--send sends one file"));
        break;
    default:
        if (files.size() > 1 || (files.size() == 1 && !nameable(files[0])))
            return mistake();
        break;
    }
    switch (command) {
    case Serve:
        line.action = CommandLine::Serve;
        line.serve = serveOptions(given);
        break;
    case List:
        line.action = CommandLine::ListPorts;
        line.porcelain = given.isSet("porcelain");
        break;
    case BoardOnly:
        line.action = CommandLine::VirtualBoardOnly;
        break;
    case Send:
        line.file = given.value("send");
        if (!nameable(line.file))
            return mistake();
        line.action = CommandLine::Send;
        line.port = given.value("port");
        line.quiet = given.isSet("quiet");
        break;
    default:
        line.file = files.value(0);
        line.virtualBoard = given.isSet("virtual-board");
        break;
    }
    return line;
}

QString helpText()
{
    constexpr qsizetype kIndent = 24, kWidth = 79;
    QString text = QStringLiteral("usage: pelorin [--virtual-board] [FILE.mes]\n"
                                  "       pelorin --send FILE.mes [--port PORT] [--quiet]\n"
                                  "       pelorin --list-ports [--porcelain]\n"
                                  "       pelorin --virtual-board-only\n"
                                  "       pelorin --serve [--listen ADDRESS:PORT]... [--port PORT] [--state DIR]\n"
                                  "                       [--host-name NAME]... [--trusted-proxy ADDRESS]...\n"
                                  "                       [--clock-is-set]\n"
                                  "                       [--tls-cert FILE --tls-key FILE\n"
                                  "                        [--redirect-from ADDRESS:PORT]...]\n"
                                  "                       [--mqtt URL [--mqtt-id ID] [--mqtt-user NAME]\n"
                                  "                        [--mqtt-password-file FILE] [--mqtt-ca FILE]\n"
                                  "                        [--mqtt-cert FILE --mqtt-key FILE]\n"
                                  "                        [--mqtt-group NAME]...\n"
                                  "                        [--mqtt-discovery [--mqtt-discovery-prefix PREFIX]]]\n"
                                  "       pelorin --serve --setup-code [--account NAME] [--state DIR]\n"
                                  "Edits the nine messages of a Tavro message board and uploads them over a\n"
                                  "serial port. With FILE.mes, loads that message file once the window is up.\n"
                                  "With --send, sends the set in FILE.mes with no window and no display, and\n"
                                  "ends once the last character has left the computer. With --serve, serves\n"
                                  "the board's own web page and API (Linux only).\n"
                                  "\n"
                                  "Options:\n");
    for (const Option &row : kOptions) {
        QString names = row.shortName
                            ? QStringLiteral("  -%1, --%2").arg(QLatin1String(row.shortName), QLatin1String(row.name))
                            : QStringLiteral("  --%1").arg(QLatin1String(row.name));
        if (row.argument)
            names += u' ' + QLatin1String(row.argument);
        names += names.size() < kIndent ? QString(kIndent - names.size(), u' ') : QStringLiteral("  ");
        QString help = QLatin1String(row.help);
        if (!row.starts && row.commands != Anything && (row.commands != Edit || row.needs[0]))
            help.prepend(QStringLiteral("with %1: ").arg(partnerOf(row)));
        text += names + wrapped(help, names.size(), kIndent, kWidth) + u'\n';
    }
    text += QStringLiteral("\n"
                           "Exit status:\n"
                           "  0    sent: the last character has left the computer\n"
                           "  1    not sent, and trying again will not help: the file was refused or\n"
                           "       names no port, or this user may not open the port\n"
                           "  2    a usage error\n"
                           "  75   not sent whole, and trying again may help: the port is absent or\n"
                           "       in use, a write failed, or the device did not take the last\n"
                           "       characters in time\n"
                           "  130  interrupted by Ctrl-C (SIGINT); 143, stopped by SIGTERM\n");
    return text;
}
