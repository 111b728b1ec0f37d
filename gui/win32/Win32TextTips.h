// Tooltips that show a control's whole text where its field cuts it: the version dialog's fields
// and the main dialog's status line keep their widths, and a text too long for them shows whole
// when the mouse rests on it.
//
// Use: Create once the dialog exists (WM_INITDIALOG), then Update a control after each change of
// its text. The tooltip window is the dialog's: it goes with the dialog, or with Destroy().
// Dialog's thread only.
#pragma once

#include <windows.h>

#include <string>

class CWin32TextTips {
public:
    CWin32TextTips() = default;
    ~CWin32TextTips() { Destroy(); }
    CWin32TextTips(const CWin32TextTips&) = delete;
    CWin32TextTips& operator=(const CWin32TextTips&) = delete;

    // Makes the tooltip window of dialog hDlg; false when the system gives none (the dialog
    // then works without tooltips).
    bool Create(HWND hDlg);
    // Gives hControl its whole text as tooltip when the control cuts it, and none otherwise.
    void Update(HWND hControl);
    void Destroy();

    HWND Window() const { return m_hTip; }
    // The tooltip text of hControl, or "" when it has none (for tests and checks).
    std::string TipText(HWND hControl) const;

    // Whether hControl's text is wider than the part of the control that shows text: the client
    // area, less an edit control's margins.
    static bool IsCut(HWND hControl);

private:
    HWND m_hDlg = nullptr;
    HWND m_hTip = nullptr;
};
