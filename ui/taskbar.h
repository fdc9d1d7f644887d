// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

// The program's entry in the desktop's task bar or dock shows how far an
// upload is. On Linux that is the launcher entry signal that KDE Plasma and
// several GNOME docks read; nothing waits for an answer, and where no one
// listens, or there is no session bus, the signal goes nowhere. On Windows
// it is the window's own task bar button.
namespace taskbar {

constexpr const char *kAppUri = "application://org.pelorin.Pelorin.desktop";
constexpr const char *kInterface = "com.canonical.Unity.LauncherEntry";
constexpr const char *kPath = "/org/pelorin/Pelorin/LauncherEntry";

// 0..1, shown on the entry of the window's program.
void showProgress(QWidget *window, double fraction);
void hideProgress(QWidget *window);

}  // namespace taskbar
