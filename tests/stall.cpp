// SPDX-License-Identifier: GPL-3.0-or-later
// Loaded into pelorin with LD_PRELOAD, it makes the system slow where a
// test needs it to be, and notes in a log what pelorin asked of it:
//   STALL_LOG=FILE          each drain ("drain DEVICE") and stalled open
//                           ("open PATH") is a line of FILE
//   STALL_DRAIN=forever     a drain never ends, as with a USB adapter that
//                           takes no more data
//   STALL_OPEN=PATH         opening PATH takes three seconds, or until a
//                           signal comes, before it goes on as usual
// Both of the system's names for open are defined here, which its headers
// allow only without 64-bit file offsets.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

void note(const char *what, const char *name)
{
    const char *log = getenv("STALL_LOG");
    if (!log)
        return;
    if (FILE *file = fopen(log, "a")) {
        fprintf(file, "%s %s\n", what, name ? name : "?");
        fclose(file);
    }
}

using OpenFunction = int (*)(const char *, int, ...);

int stallThenOpen(const char *symbol, const char *path, int flags, va_list rest)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(rest, int)) : 0;
    const char *stalled = getenv("STALL_OPEN");
    if (stalled && path && strcmp(path, stalled) == 0) {
        note("open", path);
        const timespec pause{3, 0};
        nanosleep(&pause, nullptr);
    }
    const auto next = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, symbol));
    return next(path, flags, mode);
}

}  // namespace

extern "C" {

int tcdrain(int fd)
{
    note("drain", ttyname(fd));
    const char *stall = getenv("STALL_DRAIN");
    while (stall && strcmp(stall, "forever") == 0)
        pause();
    using DrainFunction = int (*)(int);
    return reinterpret_cast<DrainFunction>(dlsym(RTLD_NEXT, "tcdrain"))(fd);
}

int open(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = stallThenOpen("open", path, flags, rest);
    va_end(rest);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = stallThenOpen("open64", path, flags, rest);
    va_end(rest);
    return fd;
}
}
