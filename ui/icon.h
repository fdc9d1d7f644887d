// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QImage>

// The window icon: a 32 x 32 picture of the board in sixteen colours.
QImage tavroIconImage();
QIcon tavroIcon();
