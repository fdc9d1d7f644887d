// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/console.h"

#include <windows.h>

#include <shellapi.h>  // needs windows.h first

void printText(std::FILE *stream, const QString &text)
{
    std::fflush(stream);
    const HANDLE handle = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        // A console shows characters, whatever its code page: bytes in the
        // ANSI code page would show as the OEM code page's.
        DWORD written = 0;
        ::WriteConsoleW(handle, reinterpret_cast<const wchar_t *>(text.utf16()), DWORD(text.size()), &written, nullptr);
        return;
    }
    // A file or a pipe gets UTF-8, which holds every name; what reads it
    // decodes it as UTF-8 (PowerShell: [Console]::OutputEncoding).
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QStringList programArguments(int, char *[])
{
    QStringList arguments;
    int count = 0;
    if (LPWSTR *wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        ::LocalFree(wide);
    }
    return arguments;
}

bool hasDisplay() { return true; }
