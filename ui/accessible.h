// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Accessible interfaces where Qt's own tell a screen reader the wrong
// thing:
// - a level option keeps its pair exclusive by hand, so Qt takes it for a
//   check box; it is a radio button, in the group of its input's frame;
// - on Linux, Qt names a combo box after its current entry; the port
//   selector is named for what it chooses, and the entry is its value.
void installAccessibleInterfaces();
