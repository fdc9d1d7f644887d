// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link/comm.h"
#include "link/pacer.h"
#include "ptyboard.h"
#include "scriptedprompts.h"
#include "ui/tavro.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <memory>
#include <vector>

// Ports 1..n on pseudo-terminals, the ports above on absent devices.
struct Ports {
    explicit Ports(int n) : boards(n) {}
    PortMap map()
    {
        return [this] {
            QStringList devices;
            for (int port = 1; port <= int(boards.size()); ++port)
                devices << (gone.contains(port) ? absentDevice(port) : boards[port - 1].path());
            return withAbsentAfter(devices);
        };
    }
    std::vector<PtyBoard> boards;
    QList<int> gone;  // ports whose device has gone since start-up
};

// A window with scripted prompts and a port map the test controls, and
// short ways to its controls.
struct Rig {
    explicit Rig(PortMap map) : window(std::make_unique<Tavro>(std::move(map), prompts)) {}

    template <typename W>
    W *find(const QString &name) const
    {
        return window->findChild<W *>(name);
    }
    QLineEdit *box(int slot) const
    {
        return find<QLineEdit>(slot == 1 ? QStringLiteral("messagebox") : QStringLiteral("Text%1").arg(slot - 1));
    }
    QRadioButton *option(int n) const { return find<QRadioButton>(QStringLiteral("Option%1").arg(n)); }
    QComboBox *combo() const { return find<QComboBox>(QStringLiteral("Combo1")); }
    QPushButton *send() const { return find<QPushButton>(QStringLiteral("Command1")); }
    Pacer *timer() const { return find<Pacer>(QStringLiteral("Timer1")); }
    Comm *comm() const { return find<Comm>(QStringLiteral("Comm")); }
    const MessageSet &set() const { return window->messageSet(); }

    QStringList entries() const
    {
        QStringList list;
        for (int i = 0; i < combo()->count(); ++i)
            list << combo()->itemText(i);
        return list;
    }
    // What a user's pick does: the entry is shown, then activated.
    void pick(const QString &port) const
    {
        const int index = combo()->findText(port);
        combo()->setCurrentIndex(index);
        emit combo()->activated(index);
    }
    bool busy() const { return !send()->isEnabled(); }

    ScriptedPrompts prompts;
    std::unique_ptr<Tavro> window;
};
