// The About box (template IDD_ABOUTBOX): the program icon, the product line and OK. Opened from
// the main dialog's window menu; modal, it changes nothing. It closes with OK, Enter, Esc or its
// close box. Dialog's thread only.
#pragma once

#include <windows.h>

class CWin32AboutDlg {
public:
    // Runs the box modally over hParent; returns IDOK or IDCANCEL (Esc, close box).
    int DoModal(HWND hParent);

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
};
