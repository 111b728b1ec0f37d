#include "Win32AboutDlg.h"

#include "Resource.h"
#include "Win32Window.h"

int CWin32AboutDlg::DoModal(HWND hParent) {
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), hParent,
                        &CWin32AboutDlg::DialogProc, 0);
    return result == IDOK ? IDOK : IDCANCEL;
}

INT_PTR CALLBACK CWin32AboutDlg::DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        CenterDialog(hDlg);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
