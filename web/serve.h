// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/serveoptions.h"

// pelorin --serve: the board's web page and API, until the process is
// stopped. Needs no QCoreApplication: it makes its own.
int runServe(const ServeOptions &options, int argc, char *argv[]);
