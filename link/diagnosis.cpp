// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("Diagnosis", text); }

}  // namespace

Diagnosis diagnose(int port, const DeviceFacts &facts)
{
    const auto cause = [&] {
        // The probe offers ports from 1 up to the first that is missing, so
        // an adapter under a higher number is never offered.
        if (!facts.exists && port == 1 && !facts.otherPorts.isEmpty())
            return Diagnosis::OtherPortsOnly;
        if (!facts.exists)
            return Diagnosis::NoDevice;
        // Joining the device's group helps only where the group may write.
        if (!facts.writable && facts.groupMayWrite && !facts.group.isEmpty() && !facts.sessionHasGroup)
            return facts.groupListsUser ? Diagnosis::NeedsNewLogin : Diagnosis::NoPermission;
        if (facts.writable && (facts.refusedAsBusy || !facts.holders.isEmpty()))
            return Diagnosis::InUse;
        return Diagnosis::Other;
    };
    return {cause(), port, facts};
}

QString Diagnosis::text(const NextStep &next) const
{
    const QString where = port <= 0                ? facts.device
                          : facts.device.isEmpty() ? tr("Serial port %1").arg(port)
                                                   : tr("Serial port %1 (%2)").arg(port).arg(facts.device);
    switch (cause) {
    case None:
        return {};
    case OtherPortsOnly:
        return tr("%1 has no device, so no port can be offered. The serial ports of this computer are: %2.\n\n"
                  "To use the board's adapter, give it a number from 1 to 4, and 1 if it is the only one: "
                  "pelorin offers the ports from 1 up to the first that is missing. In Device Manager, open "
                  "Ports, then the adapter, Properties, Port Settings, Advanced, and choose its COM Port "
                  "Number. Then %3.")
            .arg(where, facts.otherPorts.join(QStringLiteral(", ")), next.retry);
    case NoDevice:
        return port > 0 ? tr("%1 has no device.").arg(where) : tr("%1 does not exist.").arg(where);
    case NeedsNewLogin:
        return tr("%1 cannot be used yet. The device belongs to the group %2, and your user, %3, has been "
                  "added to that group, but this session started before that.\n\n"
                  "Log out and in again, or restart the computer, then %4.")
            .arg(where, facts.group, facts.user, next.restart);
    case NoPermission:
        return tr("%1 cannot be used: you may not open it. The device belongs to the group %2, and your "
                  "user, %3, is not a member of it.\n\n"
                  "To use it, run this command, then log out and in again:\n\n"
                  "    sudo usermod -aG %2 %3")
            .arg(where, facts.group, facts.user);
    case InUse: {
        const QString who = facts.holders.isEmpty()
                                ? tr("another program is using it, such as a terminal, another uploader or a "
                                     "serial monitor")
                                : tr("another program is using it: %1").arg(facts.holders.join(QStringLiteral(", ")));
        QString text = tr("%1 cannot be used: %2.\n\nClose that program, then %3.").arg(where, who, next.retry);
        if (facts.probedOnPlugIn) {
            text += QLatin1Char(' ')
                    + tr("If the adapter was plugged in just now, ModemManager may be checking it, "
                         "which takes a few seconds: %1 in a moment.")
                          .arg(next.retry);
        }
        return text;
    }
    case Other:
        break;
    }
    // Windows ends its reasons with a full stop.
    QString reason = facts.systemReason.trimmed();
    if (reason.endsWith(u'.'))
        reason.chop(1);
    const QString refused = tr("%1 cannot be opened: %2.").arg(where, reason);
    if (!facts.writable && !facts.groupMayWrite && !facts.owner.isEmpty()) {
        return refused + QStringLiteral("\n\n")
               + tr("It belongs to %1, and no group may write to it, so joining a group does "
                    "not help. Ask the computer's administrator to let you use it.")
                     .arg(facts.owner);
    }
    return refused;
}
