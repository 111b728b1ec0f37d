// Windows: the system menu is the window's own and takes entries through the Win32 menu calls.
// <windows.h> stays in this file.
#include "SystemMenu.h"

#include <QWidget>

#include <string>

#include <windows.h>

bool AppendToSystemMenu(QWidget* window, unsigned commandId, const QString& text) {
    if (!window || text.isEmpty())
        return false;
    HWND hwnd = reinterpret_cast<HWND>(window->winId());
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (!menu)
        return false;
    std::wstring wide = text.toStdWString();
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, commandId, wide.c_str());
    return true;
}

bool SystemCommandOf(const QByteArray& eventType, void* message, unsigned* pCommandId) {
    if (eventType != "windows_generic_MSG" || !message)
        return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_SYSCOMMAND)
        return false;
    *pCommandId = static_cast<unsigned>(msg->wParam);
    return true;
}
