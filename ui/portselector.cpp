// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/portselector.h"

void PortSelector::showPopup()
{
    emit listOpening();
    // An empty list has nothing to pick, and would only sit over the
    // window until the next click.
    if (count() > 0)
        QComboBox::showPopup();
}
