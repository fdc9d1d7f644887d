// SPDX-License-Identifier: GPL-3.0-or-later
// The upload's progress as the desktop's task bar hears it: the launcher
// entry signal on the session bus. Runs on a private bus of its own
// (dbus-run-session), and skips itself where there is none.
#include "rig.h"
#include "samples.h"
#include "ui/taskbar.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>

class Listener : public QObject {
    Q_OBJECT
public:
    struct Update {
        QString app;
        double progress;
        bool visible;
    };
    std::vector<Update> updates;

public slots:
    void heard(const QDBusMessage &message)
    {
        const QList<QVariant> args = message.arguments();
        if (args.size() != 2)
            return;
        const QVariantMap properties = qdbus_cast<QVariantMap>(args.at(1));
        updates.push_back({args.at(0).toString(), properties.value(QStringLiteral("progress")).toDouble(),
                           properties.value(QStringLiteral("progress-visible")).toBool()});
    }
};

class TestTaskbar : public QObject {
    Q_OBJECT
private slots:
    void progressOverTheBus();
};

void TestTaskbar::progressOverTheBus()
{
    if (!QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus; run under dbus-run-session");
    // A connection of its own, as a dock would have.
    QDBusConnection dock = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("dock"));
    QVERIFY(dock.isConnected());
    Listener listener;
    QVERIFY(dock.connect(QString(), QString(), QLatin1String(taskbar::kInterface), QStringLiteral("Update"), &listener,
                         SLOT(heard(QDBusMessage))));

    Ports ports(1);
    Rig rig(ports.map());
    for (int slot = 1; slot <= 9; ++slot)
        rig.box(slot)->setText(QString());
    rig.timer()->setInterval(10);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !rig.busy(); }, 10000));
    QVERIFY(QTest::qWaitFor([&] { return !listener.updates.empty() && !listener.updates.back().visible; }, 5000));

    // From the press to the last tick but one, shown and rising; then gone.
    const auto &u = listener.updates;
    QCOMPARE(int(u.size()), 44 + 1);
    for (size_t k = 0; k + 1 < u.size(); ++k) {
        QCOMPARE(u[k].app, QStringLiteral("application://org.pelorin.Pelorin.desktop"));
        QVERIFY(u[k].visible);
        QCOMPARE(u[k].progress, double(k) / 44.0);
    }
    QVERIFY(!u.back().visible);
    // The last character has left the program; the board's end of the
    // line reads it when the machine gets round to it.
    QVERIFY(ports.boards[0].waitForBytes(int(kAllEmptyStream.size()), 10000));
    QCOMPARE(ports.boards[0].received().size(), 0 + kAllEmptyStream.size());
    QDBusConnection::disconnectFromBus(QStringLiteral("dock"));
}

QTEST_MAIN(TestTaskbar)
#include "tst_taskbar.moc"
