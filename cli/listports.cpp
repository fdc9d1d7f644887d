// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/listports.h"

#include "cli/console.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("ListPorts", text); }

// A field of a porcelain line: never empty, never with a tab or a line's end.
QString field(QString text)
{
    text.replace(u'\t', u' ').replace(u'\n', u' ').replace(u'\r', u' ');
    return text.trimmed().isEmpty() ? QStringLiteral("-") : text.trimmed();
}

}  // namespace

QString listPortsText(const QList<SerialDevice> &devices, bool porcelain)
{
    QString text;
    if (porcelain) {
        for (const SerialDevice &d : devices) {
            text += QStringList{field(d.port > 0 ? QString::number(d.port) : QString()), field(d.device),
                                field(d.stableName), field(d.state), field(d.description())}
                        .join(u'\t')
                    + QLatin1Char('\n');
        }
        return text;
    }
    if (devices.isEmpty()) {
        return tr("No serial device was found. Plug in the board's adapter, then run pelorin --list-ports "
                  "again.\n");
    }
    qsizetype width = 0;
    for (const SerialDevice &d : devices)
        width = std::max(width, d.device.size());
    for (const SerialDevice &d : devices) {
        const QString port = d.port > 0 ? tr("port %1").arg(d.port) : QStringLiteral("-");
        QString state = d.leftOut()       ? tr("left out: %1").arg(d.why)
                        : d.why.isEmpty() ? d.state
                                          : QStringLiteral("%1: %2").arg(d.state, d.why);
        text += QStringLiteral("%1  %2  %3").arg(port, -6).arg(d.device, -int(width)).arg(state);
        if (!d.description().isEmpty())
            text += QStringLiteral("  ") + d.description();
        text += QLatin1Char('\n');
        if (!d.stableName.isEmpty())
            text += QString(8, u' ') + tr("stable name: %1").arg(d.stableName) + QLatin1Char('\n');
    }
    return text;
}

int listPorts(bool porcelain)
{
    QList<SerialDevice> devices = serialDevices();
    assessAccess(devices);
    printText(stdout, listPortsText(devices, porcelain));
    return 0;
}
