// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The program's entry in the desktop's task bar or dock shows how far an
// upload is, through the launcher entry signal that KDE Plasma and several
// GNOME docks read. Nothing waits for an answer: where no one listens, or
// there is no session bus, the signal goes nowhere.
namespace taskbar {

constexpr const char *kAppUri = "application://org.pelorin.Pelorin.desktop";
constexpr const char *kInterface = "com.canonical.Unity.LauncherEntry";
constexpr const char *kPath = "/org/pelorin/Pelorin/LauncherEntry";

// 0..1, shown.
void showProgress(double fraction);
void hideProgress();

}  // namespace taskbar
