// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/portmap.h"

#include <QRegularExpression>

// Port n is COMn, as it was for the program this one replaces and in the
// files it wrote.
QStringList systemSerialDevices()
{
    return {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")};
}

QString systemDeviceName(const QString &given)
{
    QString name = given;
    // Qt adds the device namespace's prefix itself, and the system's own
    // words for a port name it without.
    for (const QLatin1String prefix : {QLatin1String("\\\\.\\"), QLatin1String("//./")}) {
        if (name.startsWith(prefix)) {
            name.remove(0, prefix.size());
            break;
        }
    }
    static const QRegularExpression com(QStringLiteral("^com[0-9]+$"), QRegularExpression::CaseInsensitiveOption);
    return com.match(name).hasMatch() ? name.toUpper() : name;
}
