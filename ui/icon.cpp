// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/icon.h"

#include <QPixmap>

namespace {

// The board as it hangs on its wires: a grey case, a dot-matrix display
// lit in red, a status light, two keys and the serial plug below.
const char *const kBoard[] = {"32 32 11 1",
                              "# c #000000",
                              ". c None",
                              "G c #00FF00",
                              "b c #FFFF00",
                              "c c #008080",
                              "d c #404040",
                              "g c #808080",
                              "k c #000080",
                              "l c #C0C0C0",
                              "m c #800000",
                              "r c #FF0000",
                              "................................",
                              ".......ddd............ddd.......",
                              "........d..............d........",
                              "........d..............d........",
                              "........d..............d........",
                              "........d..............d........",
                              "........d..............d........",
                              ".##############################.",
                              ".#llllllllllllllllllllllllllll#.",
                              ".#lggggggggggggggggggggggggggd#.",
                              ".#lgkkkkkkkkkkkkkkkkkkkkkkkkgd#.",
                              ".#lgkkkkkkkkkkkkkkkkkkkkkkkkgd#.",
                              ".#lgkkrkrkrrrkrkkkrkkkrrrkkkgd#.",
                              ".#lgkkrkrkrkkkrkkkrkkkrkrkkkgd#.",
                              ".#lgkkrrrkrrkkrkkkrkkkrkrkkkgd#.",
                              ".#lgkkrkrkrkkkrkkkrkkkrkrkkkgd#.",
                              ".#lgkkrkrkrrrkrrrkrrrkrrrkkkgd#.",
                              ".#lgkkkkkkkkkkkkkkkkkkkkkkkkgd#.",
                              ".#lgkkkkkkkkkkkkkkkkkkkkkkkkgd#.",
                              ".#lgkmkmkmkmkmkmkmkmkmkmkmkkgd#.",
                              ".#lgkkkkkkkkkkkkkkkkkkkkkkkkgd#.",
                              ".#lggggggggggggggggggggggggggd#.",
                              ".#lgggggggggggggggggggbbbgbbbd#.",
                              ".#lggGGgggggggggggggggbbbgbbbd#.",
                              ".#lggggggggggggggggggggggggggd#.",
                              ".#lddddddddddddddddddddddddddd#.",
                              ".###########cccccccc###########.",
                              "............cccccccc............",
                              "............cccccccc............",
                              ".............dddddd.............",
                              ".............dddddd.............",
                              "................................"};

}  // namespace

QImage tavroIconImage() { return QImage(kBoard); }

QIcon tavroIcon() { return QIcon(QPixmap::fromImage(tavroIconImage())); }
