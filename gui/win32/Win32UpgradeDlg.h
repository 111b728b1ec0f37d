// The main dialog of Sorvel_User on Windows (template IDD_UPGRADE_DIALOG): COM port, update
// mode, the upload buttons, "Versions ...", the progress bar, and the About entry of its window
// menu.
//
// When the dialog initialises (WM_INITDIALOG, before it shows) it fills the port list, loads the
// configuration (the loader's messages come up then, before the dialog) and sets the controls
// and the update mode from the load result; CUpgradeDlgLogic decides all of that, this class
// only applies it. The port list offers "COM1:" to "COM4:" ("COM1:" selected), then the ports
// Windows reports; the field also takes a typed name, used exactly as typed.
//
// The upload buttons drive the upgrade sequencer, which the dialog owns; the radio buttons set
// its update mode; the dialog is its window system (ISequencerUi): button-handler messages
// through the process-wide message box, modal to the dialog; stage prompts as ownerless,
// always-on-top boxes that leave the dialog usable and close when the sequence resets; the
// progress bar; the port field's text; a call gate that brings the engine's notifications to
// the dialog's thread as posted messages.
//
// Ending: "Exit", Esc, the close box and the window menu's "Close" all go to OnExit(), which
// refuses while an upload runs and otherwise releases the configuration and ends the dialog.
// Enter never ends the dialog: on a push button it presses that button, elsewhere it does
// nothing. However the dialog ends, its gate closes and the sequencer aborts first (prompt,
// upload and port closed), so no engine notification reaches a dialog that is gone.
//
// Threads: everything on the dialog's thread; only the gate is used by other threads.
#pragma once

#include "UpgradeDlgLogic.h"
#include "UpgradeSequencer.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CWin32CallGate;
class CWin32MessagePresenter;

class CWin32UpgradeDlg {
public:
    using PortLister = std::function<std::vector<std::string>()>;

    // configBaseDir: the folder against which ".\Ressources\Configuration.zkf" and the upload
    // paths resolve (the working directory by default). listPorts: the ports this machine
    // reports, as COM names (the registry's by default; tests pass their own).
    explicit CWin32UpgradeDlg(std::string configBaseDir = ".", PortLister listPorts = {});
    ~CWin32UpgradeDlg();
    CWin32UpgradeDlg(const CWin32UpgradeDlg&) = delete;
    CWin32UpgradeDlg& operator=(const CWin32UpgradeDlg&) = delete;

    // The presenter that shows the stage prompts and makes the dialog the owner of the boxes
    // of its thread. Not owned; it must outlive the dialog. Without one the dialog uses a
    // presenter of its own for its prompts.
    void SetPresenter(CWin32MessagePresenter* pPresenter) { m_pPresenter = pPresenter; }

    // Runs the dialog until it ends; returns IDCANCEL (Exit) or IDOK, or -1 when the dialog
    // could not be created (GetLastError says why).
    int DoModal();
    // The same dialog, modeless, for tests: it shows at once, and ending it destroys the window.
    // The caller's message loop runs it. Returns the window, or null.
    HWND Create();
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The handlers, as the controls and the window menu call them.
    void OnStartUpload();
    void OnCancelUpload();
    void OnExit();
    void OnVersions();
    // A mode radio button (IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE, IDC_ONLY_STI) was clicked.
    void OnModeRadio(int nID);
    // A window-menu command: IDM_ABOUTBOX opens the About box. Returns true when handled.
    bool OnSysCommand(UINT nID);

    // Ends the dialog with nResult: closes the gate, aborts the sequencer, ends the window.
    void EndDialog(int nResult);
    // Releases the configuration texts. Safe to call more than once.
    void ReleaseConfigInfo();
    // Sets the progress bar (0 to 100, clamped).
    void SetProgress(int nPos);
    // The port field's text, picked or typed.
    std::string PortText() const;
    // The status line and the controls' state (see CDialogSequencerUi).
    void ShowStatus(const std::string& text);
    void UpdateControls();

    BYTE GetUpdateMode() const;
    CUpgradeSequencer& Sequencer() { return *m_pSequencer; }
    const CUpgradeDlgLogic& Logic() const { return m_logic; }

    BYTE m_bConfigLoaded = 0;
    BYTE m_nConfigResult = CONFIG_NONE;
    CONFIG_INFO m_ConfigInfo;

private:
    template <typename Dialog>
    friend class CDialogSequencerUi;
    std::shared_ptr<CWin32CallGate> CallGate() const { return m_pGate; }

    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void OnCommand(int nID, int nCode);
    void OnDestroy();
    void AppendAboutEntry();
    void FillPortList();
    // Sets the sequencer's update mode as the radio button of nMode does; MODE_NONE sets none.
    void SelectMode(BYTE nMode);
    CWin32MessagePresenter& Presenter();

    std::string m_configBaseDir;
    PortLister m_listPorts;
    HWND m_hWnd = nullptr;
    bool m_bModeless = false;
    HICON m_hIcon = nullptr;      // the program icon at the system's icon size (shared)
    HICON m_hSmallIcon = nullptr; // at the small-icon size (owned)
    CUpgradeDlgLogic m_logic;
    std::shared_ptr<CWin32CallGate> m_pGate;
    CWin32MessagePresenter* m_pPresenter = nullptr;
    std::unique_ptr<CWin32MessagePresenter> m_pOwnPresenter;
    // The sequencer's window system, then the sequencer, which refers to it and to
    // m_ConfigInfo; the destructor ends the sequencer first.
    std::unique_ptr<ISequencerUi> m_pSequencerUi;
    std::unique_ptr<CUpgradeSequencer> m_pSequencer;
};
