// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into pelorin with LD_PRELOAD, it makes the system slow where a
// test needs it, and logs what pelorin asked of it:
//   STALL_LOG=FILE       a line for each drain ("drain DEVICE") and stalled
//                        open ("open PATH")
//   STALL_DRAIN=forever  a drain never ends, as with a USB adapter that
//                        takes no more data
//   STALL_OPEN=PATH      opening PATH takes three seconds, or until a signal
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

void note(const char *what, const char *name)
{
    if (FILE *log = getenv("STALL_LOG") ? fopen(getenv("STALL_LOG"), "a") : nullptr) {
        fprintf(log, "%s %s\n", what, name ? name : "?");
        fclose(log);
    }
}

template <typename Function>
Function next(const char *symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

}  // namespace

extern "C" int tcdrain(int fd)
{
    note("drain", ttyname(fd));
    while (getenv("STALL_DRAIN") && strcmp(getenv("STALL_DRAIN"), "forever") == 0)
        pause();
    return next<int (*)(int)>("tcdrain")(fd);
}

// Qt opens devices with open64; it never creates one, so there is no mode.
extern "C" int open64(const char *path, int flags, ...)
{
    if (getenv("STALL_OPEN") && strcmp(path, getenv("STALL_OPEN")) == 0) {
        note("open", path);
        const timespec pause{3, 0};
        nanosleep(&pause, nullptr);
    }
    return next<int (*)(const char *, int, ...)>("open64")(path, flags, 0);
}
