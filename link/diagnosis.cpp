// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/diagnosis.h"

#include "model/systemreason.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("Diagnosis", text); }

// A path as a shell takes it whole: a lock is named after whatever path
// the port was given, blanks and quotes included.
QString shellWord(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:+-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    return QLatin1Char('\'') + QString(path).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

// " Text." or nothing, to follow a sentence.
QString then(const QString &text) { return text.isEmpty() ? QString() : QLatin1Char(' ') + text; }

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
        // Before its owner and mode: a console's group is tty, and joining
        // it would open every terminal of the computer to the user.
        if (!facts.console.isEmpty())
            return Diagnosis::Console;
        if (facts.notATerminal || facts.noHardware)
            return Diagnosis::NotASerialPort;
        // Joining the device's group helps only where the group may write.
        if (!facts.writable && facts.groupMayWrite && !facts.group.isEmpty() && !facts.sessionHasGroup)
            return facts.groupListsUser ? Diagnosis::NeedsNewLogin : Diagnosis::NoPermission;
        if (facts.lockRefused && facts.lockHolder.isEmpty())
            return Diagnosis::LockLeftOver;
        if (facts.writable && (facts.refusedAsBusy || !facts.holders.isEmpty()))
            return Diagnosis::InUse;
        return Diagnosis::Other;
    };
    return {cause(), port, facts};
}

bool Diagnosis::retryable() const
{
    switch (cause) {
    case NoDevice:
    case OtherPortsOnly:
    case InUse:
        return true;
    case Other:
        return facts.transient;
    case None:
    case NoPermission:
    case NeedsNewLogin:
    case LockLeftOver:
    case Console:
    case NotASerialPort:
        break;
    }
    return false;
}

QString Diagnosis::text(const NextStep &next) const
{
    const QString where = port <= 0                ? facts.device
                          : facts.device.isEmpty() ? tr("Serial port %1").arg(port)
                                                   : tr("Serial port %1 (%2)").arg(port).arg(facts.device);
    const QString found = facts.otherDevices.value(0);
    const QString others =
        facts.otherPorts.isEmpty()
            ? QString()
            : tr("The serial ports of this computer are: %1.").arg(facts.otherPorts.join(QStringLiteral(", ")));
    switch (cause) {
    case None:
        return {};
    case OtherPortsOnly:
    case NoDevice: {
        QString text = (port > 0 ? tr("%1 has no device.") : tr("%1 does not exist.")).arg(where) + then(others);
        const QString renumber = cause == OtherPortsOnly ? remedy::renumber(next) : QString();
        if (!renumber.isEmpty()) {
            text += QStringLiteral("\n\n") + renumber;
            if (!next.useDevice.isEmpty() && !found.isEmpty())
                text += QStringLiteral("\n\n") + tr("Or %1.").arg(next.useDevice.arg(found));
            return text;
        }
        // The window offers no port that is missing; the command line was
        // given it.
        if (next.useDevice.isEmpty())
            return text;
        if (port > 0) {
            return text
                   + then(found.isEmpty() ? tr("Plug in the board's adapter, or give its device with --port.")
                                          : tr("Plug in the board's adapter, or %1.").arg(next.useDevice.arg(found)));
        }
        return text
               + then(found.isEmpty() ? tr("Plug in the board's adapter, or check the device's name.")
                                      : tr("Plug in the board's adapter, check the device's name, or %1.")
                                            .arg(next.useDevice.arg(found)));
    }
    case NeedsNewLogin:
        return tr("%1 cannot be used yet. The device belongs to the group %2, and your user, %3, has been "
                  "added to that group, but this session started before that.\n\n"
                  "Log out and in again, or restart the computer, then %4.")
            .arg(where, facts.group, facts.user, next.restart);
    case NoPermission:
        return tr("%1 cannot be used: you may not open it. The device belongs to the group %2, and your "
                  "user, %3, is not a member of it.")
                   .arg(where, facts.group, facts.user)
               + QStringLiteral("\n\n") + remedy::joinGroup(facts);
    case InUse: {
        const QString who =
            facts.holders.isEmpty()
                ? tr("another program is using it, such as a terminal, another uploader or a serial monitor")
                : tr("another program is using it: %1").arg(facts.holders.join(QStringLiteral(", ")));
        const QString lock = facts.lockRefused && !facts.lockHolder.isEmpty()
                                 ? then(tr("%1 holds its lock file %2.").arg(facts.lockHolder, facts.lockFile))
                                 : QString();
        QString text = tr("%1 cannot be used: %2.%3\n\nClose that program, then %4.").arg(where, who, lock, next.retry);
        if (facts.probedOnPlugIn)
            text += then(remedy::newAdapter(next));
        return text;
    }
    case LockLeftOver: {
        if (facts.lockFile.isEmpty()) {
            return tr("%1 cannot be used: its lock file cannot be made, since %2 may write none of the folders "
                      "where serial programs keep them: %3.\n\nLet it write %4, then %5.")
                .arg(where, facts.user.isEmpty() ? tr("this user") : facts.user,
                     facts.lockFolders.join(QStringLiteral(", ")), QStringLiteral("/run/lock"), next.retry);
        }
        const QString why = facts.lockOwner != facts.user ? tr("it belongs to %1").arg(facts.lockOwner)
                                                          : tr("its folder may not be written");
        // Programs that open the port without a lock still show.
        const QString open =
            facts.holders.isEmpty()
                ? tr("No program is using the port.")
                : tr("It is open in %1, which keeps no lock of its own.").arg(facts.holders.join(QStringLiteral(", ")));
        return tr("%1 cannot be used: its lock file %2 was left behind by a program that has ended, and pelorin "
                  "may not remove it: %3. %4\n\n"
                  "Remove the lock with this command, then %5:\n\n    sudo rm %6")
            .arg(where, facts.lockFile, why, open, next.retry, shellWord(facts.lockFile));
    }
    case Console:
        return tr("%1 cannot be used: it is this computer's login console, where the system writes its messages "
                  "and offers a login, so a board there would receive them too.")
                   .arg(where)
               + QStringLiteral("\n\n") + remedy::freeConsole(facts);
    case NotASerialPort:
        return (facts.noHardware ? tr("%1 cannot be used: no serial port hardware stands behind it (%2).")
                                 : tr("%1 cannot be used: it is not a serial port (%2)."))
                   .arg(where, systemReason(facts.systemReason))
               + QLatin1Char(' ') + tr("Check the device's name.");
    case Other:
        break;
    }
    const QString refused = tr("%1 cannot be opened: %2.").arg(where, systemReason(facts.systemReason));
    if (!facts.writable && !facts.groupMayWrite && !facts.owner.isEmpty()) {
        return refused + QStringLiteral("\n\n")
               + tr("It belongs to %1, and no group may write to it, so joining a group does "
                    "not help. Ask the computer's administrator to let you use it.")
                     .arg(facts.owner);
    }
    return refused;
}

QString Diagnosis::stateWord() const
{
    switch (cause) {
    case NoDevice:
    case OtherPortsOnly:
        return QStringLiteral("absent");
    case InUse:
    case LockLeftOver:
        return QStringLiteral("held");
    case Console:
        return QStringLiteral("console");
    case NoPermission:
    case NeedsNewLogin:
    case NotASerialPort:
        return QStringLiteral("denied");
    case None:
    case Other:
        break;
    }
    return facts.writable ? QStringLiteral("usable") : QStringLiteral("denied");
}

QString Diagnosis::shortReason() const
{
    switch (cause) {
    case NoDevice:
    case OtherPortsOnly:
        return tr("not there");
    case InUse:
        return facts.holders.isEmpty() ? tr("in use by another program")
                                       : tr("in use by %1").arg(facts.holders.join(QStringLiteral(", ")));
    case NoPermission:
        return tr("%1 is not in the group %2").arg(facts.user, facts.group);
    case NeedsNewLogin:
        return tr("%1 is in the group %2 from the next login").arg(facts.user, facts.group);
    case LockLeftOver:
        return tr("a lock file left behind: %1").arg(facts.lockFile);
    case Console:
        return tr("login console");
    case NotASerialPort:
        return tr("not a serial port");
    case None:
    case Other:
        break;
    }
    return facts.writable ? QString()
                          : tr("%1 may not open it").arg(facts.user.isEmpty() ? tr("this user") : facts.user);
}
