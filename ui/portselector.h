// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QComboBox>

// The port selector. Just before its list opens it asks for the list to be
// made afresh, so that a port that has appeared or been let go since can be
// picked at once.
class PortSelector : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void listOpening();
};
