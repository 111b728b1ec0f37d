#include "Win32AboutDlg.h"

#include "Resource.h"
#include "Win32Window.h"

int CAboutDlg::DoModal(HWND hParent) {
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), hParent,
                        &CAboutDlg::DialogProc, 0);
    return result == IDOK ? IDOK : IDCANCEL;
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
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
