#include "Win32TextTips.h"

#include <commctrl.h>

#include <string>

namespace {

// A whole status or version text may be long: the tip wraps at this width (pixels).
constexpr int kMaxTipWidth = 480;
// Room for a tooltip text read back: the common controls give up to 1024 characters
// (INFOTIPSIZE).
constexpr int kTipTextCapacity = 1024;

std::string ControlText(HWND hControl) {
    const int length = GetWindowTextLengthA(hControl);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(hControl, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

// The tool record of hControl. The version 2 size: without a manifest the program gets the
// common controls of version 5, which refuse the larger records of version 6.
TTTOOLINFOA ToolOf(HWND hDlg, HWND hControl, char* text) {
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hDlg;
    tool.uId = reinterpret_cast<UINT_PTR>(hControl);
    tool.lpszText = text;
    return tool;
}

} // namespace

bool CWin32TextTips::Create(HWND hDlg) {
    Destroy();
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    m_hDlg = hDlg;
    m_hTip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                             WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, hDlg, nullptr, GetModuleHandleA(nullptr),
                             nullptr);
    if (m_hTip == nullptr)
        return false;
    SendMessageA(m_hTip, TTM_SETMAXTIPWIDTH, 0, kMaxTipWidth);
    return true;
}

void CWin32TextTips::Destroy() {
    // The dialog may have gone first, taking its tooltip window with it.
    if (m_hTip != nullptr && IsWindow(m_hTip))
        DestroyWindow(m_hTip);
    m_hTip = nullptr;
    m_hDlg = nullptr;
}

void CWin32TextTips::Update(HWND hControl) {
    if (m_hTip == nullptr || hControl == nullptr)
        return;
    // Asked without a text buffer: a tool's text would be copied into it.
    TTTOOLINFOA query = ToolOf(m_hDlg, hControl, nullptr);
    const bool present =
        SendMessageA(m_hTip, TTM_GETTOOLINFOA, 0, reinterpret_cast<LPARAM>(&query)) != FALSE;
    std::string text = ControlText(hControl);
    TTTOOLINFOA tool = ToolOf(m_hDlg, hControl, text.data());
    if (!IsCut(hControl)) {
        if (present)
            SendMessageA(m_hTip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
        return;
    }
    if (present) {
        SendMessageA(m_hTip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        GetClientRect(hControl, &tool.rect);
        SendMessageA(m_hTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

std::string CWin32TextTips::TipText(HWND hControl) const {
    if (m_hTip == nullptr)
        return std::string();
    // Read as wide text: the ANSI messages give at most 80 bytes of it.
    TTTOOLINFOA query = ToolOf(m_hDlg, hControl, nullptr);
    if (!SendMessageA(m_hTip, TTM_GETTOOLINFOA, 0, reinterpret_cast<LPARAM>(&query)))
        return std::string();
    wchar_t wide[kTipTextCapacity] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = m_hDlg;
    tool.uId = reinterpret_cast<UINT_PTR>(hControl);
    tool.lpszText = wide;
    SendMessageW(m_hTip, TTM_GETTEXTW, kTipTextCapacity, reinterpret_cast<LPARAM>(&tool));
    wide[kTipTextCapacity - 1] = L'\0';
    char text[kTipTextCapacity] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, kTipTextCapacity, nullptr, nullptr);
    return text;
}

bool CWin32TextTips::IsCut(HWND hControl) {
    const std::string text = ControlText(hControl);
    if (text.empty())
        return false;
    RECT client{};
    GetClientRect(hControl, &client);
    LONG room = client.right - client.left;
    char className[16] = {};
    GetClassNameA(hControl, className, sizeof className);
    if (lstrcmpiA(className, "Edit") == 0) {
        const auto margins = static_cast<DWORD>(SendMessageA(hControl, EM_GETMARGINS, 0, 0));
        room -= LOWORD(margins) + HIWORD(margins);
    }
    HDC hDC = GetDC(hControl);
    if (hDC == nullptr)
        return false;
    const auto hFont = reinterpret_cast<HFONT>(SendMessageA(hControl, WM_GETFONT, 0, 0));
    const HGDIOBJ hPrevious = hFont != nullptr ? SelectObject(hDC, hFont) : nullptr;
    SIZE size{};
    GetTextExtentPoint32A(hDC, text.c_str(), static_cast<int>(text.size()), &size);
    if (hPrevious != nullptr)
        SelectObject(hDC, hPrevious);
    ReleaseDC(hControl, hDC);
    return size.cx > room;
}
