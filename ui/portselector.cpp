// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/portselector.h"

void PortSelector::showPopup()
{
    emit listOpening();
    QComboBox::showPopup();
}
