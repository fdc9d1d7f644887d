// SPDX-License-Identifier: GPL-3.0-or-later
// Build step: writes the window icon as the PNG that desktops show for
// the installed program.
#include "ui/icon.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    return tavroIconImage().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
