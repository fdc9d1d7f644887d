// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/taskbar.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace taskbar {
namespace {

void update(const QVariantMap &properties)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(QLatin1String(kPath), QLatin1String(kInterface), QStringLiteral("Update"));
    signal << QString::fromLatin1(kAppUri) << properties;
    bus.send(signal);
}

}  // namespace

// The entry is the program's, whatever its window.
void showProgress(QWidget *, double fraction)
{
    update({{QStringLiteral("progress"), fraction}, {QStringLiteral("progress-visible"), true}});
}

void hideProgress(QWidget *)
{
    update({{QStringLiteral("progress"), 0.0}, {QStringLiteral("progress-visible"), false}});
}

}  // namespace taskbar
