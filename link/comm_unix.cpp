// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/comm.h"

bool Comm::openDevice(QSerialPort &serial) { return serial.open(QIODevice::WriteOnly); }
