// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serialdevices.h"

#include "link/diagnosis.h"

#include <QCoreApplication>
#include <QDir>

bool deviceNameLess(const QString &a, const QString &b)
{
    const auto split = [](const QString &name) {
        qsizetype digits = name.size();
        while (digits > 0 && name[digits - 1].isDigit())
            --digits;
        return std::pair{name.left(digits), name.mid(digits).toLongLong()};
    };
    const auto [textA, numberA] = split(a);
    const auto [textB, numberB] = split(b);
    if (textA != textB)
        return textA < textB;
    return numberA != numberB ? numberA < numberB : a < b;
}

QString SerialDevice::label() const { return stableName.isEmpty() ? device : device + QLatin1Char('\n') + stableName; }

QString SerialDevice::description() const
{
    QStringList more;
    if (!maker.isEmpty())
        more << maker;
    if (!serialNumber.isEmpty())
        more << QCoreApplication::translate("SerialDevices", "serial number %1").arg(serialNumber);
    if (more.isEmpty())
        return product;
    return product.isEmpty() ? more.join(QStringLiteral(", "))
                             : QStringLiteral("%1 (%2)").arg(product, more.join(QStringLiteral(", ")));
}

void assessAccess(QList<SerialDevice> &devices, const QString &root)
{
    for (SerialDevice &device : devices) {
        if (device.leftOut())
            continue;
        // The device under the root, as a test's tree holds it.
        const QString path = root == QLatin1String("/") ? device.device : QDir(root).filePath(device.device.mid(1));
        const Diagnosis d = diagnose(device.port, gatherFacts(path, {}, false, {}, root));
        device.state = d.stateWord();
        device.why = d.shortReason();
    }
}

SerialDevice serialDevice(const QString &device, const QString &root)
{
    for (const SerialDevice &known : serialDevices(root)) {
        if (known.device == device || known.stableName == device)
            return known;
    }
    SerialDevice unknown;
    unknown.device = device;
    return unknown;
}
