// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/serveoptions.h"

// pelorin --serve: the board's web page, API and broker client, on the
// application's event loop until it quits.
int runServe(const ServeOptions &options);
