// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/taskbar.h"

#include <QWidget>

#include <shobjidl.h>
#include <windows.h>

namespace taskbar {
namespace {

// The shell's task bar, asked for once. Where there is none (a server
// without the shell), progress is not shown.
ITaskbarList3 *shellTaskbar()
{
    static ITaskbarList3 *const list = [] {
        ITaskbarList3 *made = nullptr;
        if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                      reinterpret_cast<void **>(&made))))
            return static_cast<ITaskbarList3 *>(nullptr);
        if (FAILED(made->HrInit())) {
            made->Release();
            return static_cast<ITaskbarList3 *>(nullptr);
        }
        return made;
    }();
    return list;
}

HWND button(QWidget *window) { return window ? reinterpret_cast<HWND>(window->window()->winId()) : nullptr; }

}  // namespace

void showProgress(QWidget *window, double fraction)
{
    ITaskbarList3 *list = shellTaskbar();
    if (!list || !button(window))
        return;
    constexpr ULONGLONG kSteps = 1000;
    list->SetProgressState(button(window), TBPF_NORMAL);
    list->SetProgressValue(button(window), ULONGLONG(fraction * kSteps + 0.5), kSteps);
}

void hideProgress(QWidget *window)
{
    if (ITaskbarList3 *list = shellTaskbar(); list && button(window))
        list->SetProgressState(button(window), TBPF_NOPROGRESS);
}

}  // namespace taskbar
