// The version dialog (template IDD_VERSIONS): what the loaded configuration says about the
// software being installed, in five read-only fields that show their text in upper case and
// scroll horizontally when it is longer than the field; a text that the field cuts shows whole
// as the field's tooltip. "close", Enter, Esc and the close box end it; it changes nothing.
//
// Use: construct, SetConfigInfo, DoModal. The dialog keeps copies of the texts; it never touches
// the record it was given after SetConfigInfo returns. Dialog's thread only.
#pragma once

#include "UpgradeDlgLogic.h"
#include "Win32TextTips.h"

#include <windows.h>

#include <array>

class CWin32VersionsDlg {
public:
    CWin32VersionsDlg() = default;

    // Takes the texts of a CONFIG_STI_ONLY or CONFIG_FULL load (VersionFields).
    void SetConfigInfo(const CONFIG_INFO& info, BYTE nConfigResult);

    // Runs the dialog modally over hParent; returns IDOK ("close", Enter) or IDCANCEL.
    int DoModal(HWND hParent);
    // The same, modeless, for tests: the dialog shows at once and ends (is destroyed) with
    // "close", Esc or its close box. Returns the dialog's window, or null.
    HWND Create(HWND hParent);

    const std::array<VersionField, 5>& Fields() const { return m_fields; }
    // The fields' tooltips, while the dialog is open.
    const CWin32TextTips& Tips() const { return m_tips; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog(HWND hDlg);

    std::array<VersionField, 5> m_fields{};
    CWin32TextTips m_tips;
    bool m_bModeless = false;
};
