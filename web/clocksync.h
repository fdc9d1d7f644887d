// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Whether the computer's clock has been set from the network. A small
// computer with no battery clock starts with the time it last saw, or
// one long past, until the network sets it: scheduled sends wait for it.
namespace clocksync {

bool synchronised();
// How synchronised() tells, for the server's first lines.
QString how();

}  // namespace clocksync
