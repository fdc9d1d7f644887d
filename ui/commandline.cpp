// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/commandline.h"

#include <QCommandLineParser>

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption virtualBoard(QStringLiteral("virtual-board"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({virtualBoard, help, version});
    // A name that starts with "-" is taken for an option; "./-x.mes" names
    // such a file.
    if (!parser.parse(QStringList{QStringLiteral("pelorin")} + arguments))
        return {CommandLine::Mistake, {}, false};
    if (parser.isSet(help))
        return {CommandLine::Help, {}, false};
    if (parser.isSet(version))
        return {CommandLine::Version, {}, false};
    const QStringList files = parser.positionalArguments();
    // "-" would be standard input, which a message file never comes from.
    if (files.size() > 1 || files.value(0, QStringLiteral("x")).isEmpty() || files.value(0) == QLatin1String("-"))
        return {CommandLine::Mistake, {}, false};
    return {CommandLine::Run, files.value(0), parser.isSet(virtualBoard)};
}
