#include "Win32Window.h"

#include <algorithm>

void CenterDialog(HWND hDlg) {
    RECT dialog{};
    if (!GetWindowRect(hDlg, &dialog))
        return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromWindow(hDlg, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    const RECT work = monitor.rcWork;
    RECT over = work;
    HWND hOwner = GetWindow(hDlg, GW_OWNER);
    if (hOwner != nullptr && IsWindowVisible(hOwner) && !IsIconic(hOwner))
        GetWindowRect(hOwner, &over);
    const LONG width = dialog.right - dialog.left;
    const LONG height = dialog.bottom - dialog.top;
    LONG x = over.left + (over.right - over.left - width) / 2;
    LONG y = over.top + (over.bottom - over.top - height) / 2;
    // A dialog larger than the work area keeps its top left corner on the screen.
    x = std::max(work.left, std::min(x, work.right - width));
    y = std::max(work.top, std::min(y, work.bottom - height));
    SetWindowPos(hDlg, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
