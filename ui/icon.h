#pragma once

#include <QIcon>

// The window icon: a 32 x 32 picture of the board in sixteen colours.
QIcon tavroIcon();
