#include "Win32VersionsDlg.h"

#include "Resource.h"
#include "Win32Window.h"

void CWin32VersionsDlg::SetConfigInfo(const CONFIG_INFO& info, BYTE nConfigResult) {
    m_fields = VersionFields(info, nConfigResult);
}

int CWin32VersionsDlg::DoModal(HWND hParent) {
    m_bModeless = false;
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_VERSIONS), hParent,
                        &CWin32VersionsDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    return result == IDOK ? IDOK : IDCANCEL;
}

HWND CWin32VersionsDlg::Create(HWND hParent) {
    m_bModeless = true;
    HWND hDlg =
        CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_VERSIONS), hParent,
                           &CWin32VersionsDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (hDlg != nullptr)
        ShowWindow(hDlg, SW_SHOW);
    return hDlg;
}

void CWin32VersionsDlg::OnInitDialog(HWND hDlg) {
    // The edit controls upper-case what they show themselves (ES_UPPERCASE, in the system's
    // code page); the ASCII part is done here already, so it does not depend on that.
    for (const VersionField& field : m_fields)
        SetDlgItemTextA(hDlg, field.nID, ShownVersionText(field.text).c_str());
    // The fields keep the template's widths; the tooltip shows what the field holds, as it shows
    // it (upper case).
    m_tips.Create(hDlg);
    for (const VersionField& field : m_fields)
        m_tips.Update(GetDlgItem(hDlg, field.nID));
    CenterDialog(hDlg);
}

INT_PTR CALLBACK CWin32VersionsDlg::DialogProc(HWND hDlg, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto* self = reinterpret_cast<CWin32VersionsDlg*>(lParam);
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        self->OnInitDialog(hDlg);
        return TRUE; // the focus goes to the first tab stop, "close"
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL)
            return FALSE;
        auto* self = reinterpret_cast<CWin32VersionsDlg*>(GetWindowLongPtrA(hDlg, DWLP_USER));
        if (self != nullptr && self->m_bModeless)
            DestroyWindow(hDlg);
        else
            EndDialog(hDlg, id);
        return TRUE;
    }
    case WM_DESTROY: {
        // The tooltip window goes with the dialog.
        auto* self = reinterpret_cast<CWin32VersionsDlg*>(GetWindowLongPtrA(hDlg, DWLP_USER));
        if (self != nullptr)
            self->m_tips.Destroy();
        return FALSE;
    }
    default:
        return FALSE;
    }
}
