// The main dialog of Sorvel_User on Windows (template IDD_UPGRADE_DIALOG): COM port, update
// mode, the upload buttons, "Versions ...", the progress bar, the status line below it, and the
// "Open upgrade folder ..." and About entries of its window menu.
//
// When the dialog initialises (WM_INITDIALOG, before it shows) it fills the port list and loads
// the upgrade folder it was given (LoadUpgradeFolder: the loader's messages come up then, before
// the dialog; with a folder chooser set, a folder without a configuration offers the chooser).
// The folder that loads becomes the working directory, since the engine opens the configuration's
// upload paths from there, and the upgrade of the dialog: the configuration, the controls and the
// update mode follow its load result (CUpgradeDlgLogic decides, this class applies). A folder
// that does not load never replaces one that did: "Open upgrade folder ..." (while no sequence
// runs) keeps what is loaded unless the folder chosen loads. The port list offers "COM1:" to
// "COM4:" ("COM1:" selected), then the ports Windows reports; the field also takes a typed name,
// used exactly as typed.
//
// The upload buttons drive the upgrade sequencer, which the dialog owns; the radio buttons set
// its update mode; the dialog is its window system (ISequencerUi): button-handler messages
// through the process-wide message box, modal to the dialog; stage prompts as ownerless,
// always-on-top boxes that leave the dialog usable and close when the sequence resets; the
// progress bar; the status line (CUpgradeStatus's text, its seconds counted by a one-second
// timer; a text that the line cuts shows whole as its tooltip); the port field's text; a call
// gate that brings the engine's notifications to the dialog's thread as posted messages. After
// every handler, engine notification and load the controls follow the upload state: while a
// sequence runs, "Start Upload", the port field, the mode buttons and "Open upgrade folder ..."
// are disabled, and "Cancel Upload" is enabled only while there is something to cancel.
//
// Ending: "Exit", Esc, the close box and the window menu's "Close" all go to OnExit(), which
// refuses while an upload runs and otherwise releases the configuration and ends the dialog.
// Enter never ends the dialog: on "Start Upload", "Cancel Upload" or "Versions ..." it presses
// that button, on "Exit" and elsewhere it does nothing; Space presses the focused button. The
// focus starts on "Start Upload", or on the port field while nothing can be uploaded. However the
// dialog ends, its gate closes and the sequencer aborts first (prompt, upload and port closed),
// so no engine notification reaches a dialog that is gone.
//
// Threads: everything on the dialog's thread; only the gate is used by other threads.
#pragma once

#include "UpgradeDlgLogic.h"
#include "UpgradeSequencer.h"
#include "Win32TextTips.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CWin32CallGate;
class CWin32MessagePresenter;
template <typename Dialog>
class CDialogSequencerUi;

class CWin32UpgradeDlg {
public:
    using PortLister = std::function<std::vector<std::string>()>;
    // The folder chooser: opened over hOwner (may be null) at from; the folder chosen, or "".
    using FolderChooser = std::function<std::string(HWND hOwner, const std::string& from)>;
    // Keeps the folder that loaded for the next start.
    using FolderKeeper = std::function<void(const std::string& folder)>;

    // upgradeFolder: the folder to load when the dialog initialises (the working directory by
    // default). listPorts: the ports this machine reports, as COM names (the registry's by
    // default; tests pass their own).
    explicit CWin32UpgradeDlg(std::string upgradeFolder = ".", PortLister listPorts = {});
    ~CWin32UpgradeDlg();
    CWin32UpgradeDlg(const CWin32UpgradeDlg&) = delete;
    CWin32UpgradeDlg& operator=(const CWin32UpgradeDlg&) = delete;

    // The presenter that shows the stage prompts and makes the dialog the owner of the boxes
    // of its thread. Not owned; it must outlive the dialog. Without one the dialog uses a
    // presenter of its own for its prompts.
    void SetPresenter(CWin32MessagePresenter* pPresenter) { m_pPresenter = pPresenter; }
    // The folder chooser and where the folder that loads is kept; before Create or DoModal.
    // Without a chooser a folder that holds no configuration stays unloaded and "Open upgrade
    // folder ..." does nothing; without a keeper nothing is kept.
    void SetFolderServices(FolderChooser choose, FolderKeeper remember);

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
    // A window-menu command: IDM_ABOUTBOX opens the About box, IDM_OPENFOLDER offers the folder
    // chooser and loads the folder chosen (refused while a sequence runs). Returns true when
    // handled.
    bool OnSysCommand(UINT nID);
    void OnOpenFolder();

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
    // The status line's text as shown, and its tooltip ("" while the line shows it whole).
    std::string StatusText() const;
    std::string StatusTip() const;
    // The upgrade folder loaded (absolute), or "" while none is.
    const std::string& UpgradeFolder() const { return m_folder; }

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
    void AppendMenuEntries();
    void FillPortList();
    // LoadUpgradeFolder's hooks over this dialog.
    UpgradeFolderHooks FolderHooks();
    // Loads the configuration of folder; when it loads, makes folder the working directory and
    // the dialog's upgrade (ApplyLoad). Returns the load result.
    BYTE LoadFolder(const std::string& folder);
    // The controls, the update mode, the status line and the sequencer after a load.
    void ApplyLoad(BYTE nConfigResult);
    // The focus on "Start Upload" when it can act, else on the port field.
    void FocusFirstControl();
    // The control with the focus (the port field for its edit part), or null.
    HWND FocusedControl() const;
    // Moves the focus off hFocus when that control is disabled.
    void KeepFocusUsable(HWND hFocus);
    // Sets the sequencer's update mode as the radio button of nMode does; MODE_NONE sets none.
    void SelectMode(BYTE nMode);
    CWin32MessagePresenter& Presenter();

    std::string m_firstFolder;
    std::string m_folder; // the upgrade loaded, absolute; "" while none
    PortLister m_listPorts;
    FolderChooser m_choose;
    FolderKeeper m_remember;
    HWND m_hWnd = nullptr;
    bool m_bModeless = false;
    HICON m_hIcon = nullptr;      // the program icon at the system's icon size (shared)
    HICON m_hSmallIcon = nullptr; // at the small-icon size (owned)
    CUpgradeDlgLogic m_logic;
    std::shared_ptr<CWin32CallGate> m_pGate;
    CWin32MessagePresenter* m_pPresenter = nullptr;
    std::unique_ptr<CWin32MessagePresenter> m_pOwnPresenter;
    CWin32TextTips m_tips; // the status line's
    // The sequencer's window system, then the sequencer, which refers to it and to
    // m_ConfigInfo; the destructor ends the sequencer first. A load makes a new sequencer for the
    // new folder, while none runs.
    std::unique_ptr<CDialogSequencerUi<CWin32UpgradeDlg>> m_pSequencerUi;
    std::unique_ptr<CUpgradeSequencer> m_pSequencer;
};
