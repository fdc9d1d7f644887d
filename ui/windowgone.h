// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

// Ends the program when the window system destroys the window outright
// (xdotool windowclose, a crashed window manager, a killed X session)
// instead of asking it to close. Qt would otherwise go on running with no
// window to show. Does nothing outside X11.
void quitWhenWindowDestroyed(QWidget *window);
