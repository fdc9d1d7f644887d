// SPDX-License-Identifier: GPL-3.0-or-later
#include "board/virtualboard.h"

QString VirtualBoard::unavailable()
{
    return QStringLiteral("the virtual board is a pseudo-terminal, which only Unix systems have");
}

VirtualBoard::VirtualBoard(QObject *parent) : QObject(parent), m_error(unavailable()) {}

VirtualBoard::~VirtualBoard() = default;

void VirtualBoard::readAvailable() {}

QString VirtualBoard::deviceSettings() const { return {}; }
