// The main dialog of Sorvel_User: COM port, update mode, the upload buttons, "Versions ...", the
// progress bar and the status line below it.
//
// The upgrade folder. Before the dialog first shows (OnInitDialog, run once by the first show,
// DoModal included) it loads the upgrade of the folder it was given (LoadUpgradeFolder): a
// folder without a configuration brings up the system's folder chooser ("Open upgrade folder"),
// until a folder loads or the user cancels; the folder that loaded is remembered for the next
// start (UpgradeFolderSettings.h). The loader's messages come up then, before the dialog. The
// loaded folder becomes the process's working directory, since the engine opens the upload
// paths against it, and the configuration and the sequencer's checks resolve against the same
// folder by its absolute path. "Open upgrade folder ..." (the context menu, Ctrl+O, where the
// window menu takes no entries) switches to another folder while no sequence runs; the new
// folder replaces the loaded upgrade only when it loads, so that a wrong pick loses nothing.
//
// The load result selects the update mode:
//   CONFIG_NONE      no mode; "Start Upload", "Cancel Upload", "Versions ..." disabled
//   CONFIG_STI_ONLY  "Only the STI"; "Complete Update", "Only the Cartridge" disabled
//   CONFIG_FULL      "Complete Update"
// and, with the upload state, enables the controls (CUpgradeDlgLogic::IsEnabled): while a
// sequence runs "Start Upload", the port field and the mode buttons are disabled, and "Cancel
// Upload" is enabled only while there is something to cancel. UpdateControls applies that after
// every button, every mode click, every engine notification and every load. The status line says
// the step, the file, the progress and the outcome (CUpgradeStatus); a text longer than the line
// is cut with an ellipsis and shown whole as the line's tooltip.
//
// The port list offers "COM1:" to "COM4:" ("COM1:" selected), then the serial devices of this
// machine; the field also takes a typed name, which is used exactly as typed.
//
// Keys. Enter never ends the dialog: on "Start Upload", "Cancel Upload" and "Versions ..." it
// presses that button, on "Exit" and elsewhere (the port field, a radio button) it does nothing.
// Space presses the focused button, "Exit" included; Esc does what "Exit" does. The focus starts
// on "Start Upload", or on the port field when there is nothing to upload.
//
// Ending the dialog: "Exit", Esc, the close box and the window menu's "Close" all go to
// OnExit(), the one place that decides whether the dialog may end; when it does, it releases the
// configuration texts and ends the dialog (EndDialog).
//
// The upload buttons drive the upgrade sequencer (CUpgradeSequencer), which the dialog owns:
// "Start Upload", "Cancel Upload" and every way out (OnExit) go to it, the radio buttons set its
// update mode (the only copy of the mode and the stage is the sequencer's), and the dialog is
// its window system: button-handler messages through the process-wide message box, modal to
// the dialog; stage prompts as ownerless, always-on-top boxes of the Qt presenter that leave the
// dialog usable; the progress bar; the status line; the port field's text; posting to the
// dialog's thread through the call gate. However the dialog ends (Exit, done() called from
// elsewhere, the destructor), the sequencer first aborts: its open prompt closes, the upload is
// cancelled and the port is closed, so that no engine notification reaches a dialog that is
// gone. A folder switch replaces the sequencer (nothing runs then).
//
// Threads: everything runs on the GUI thread, except CallGate()->Post() and SetProgress(), which
// any thread may call. Calls posted through the gate run on the GUI thread while the dialog is
// open; once the dialog has ended or is destroyed they are dropped, so nothing posted by another
// thread reaches a dialog that is gone. The engine's notifications reach the sequencer through
// the gate.
#pragma once

#include "ConfigFile.h"
#include "GuiCallGate.h"
#include "Resource.h"
#include "UpgradeDlgLogic.h"
#include "UpgradeSequencer.h"

#include <QDialog>
#include <QIcon>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class CDialogUnits;
class CQtMessagePresenter;
class QComboBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QAction;
class QEventLoop;
class QLabel;
template <typename Dialog>
class CDialogSequencerUi;

class CUpgradeDlg : public QDialog {
    Q_OBJECT
public:
    // The folder chooser: opened at a folder, returns the folder chosen or "" when cancelled.
    using FolderChooser = std::function<std::string(const std::string& from)>;

    // upgradeFolder: the folder to load first, the one that holds ".\Ressources\Configuration.zkf"
    // (the working directory by default). deviceRoot: where the serial devices are looked for
    // ("/" for this machine).
    explicit CUpgradeDlg(QWidget* pParent = nullptr, std::string upgradeFolder = ".",
                         std::filesystem::path deviceRoot = "/");
    ~CUpgradeDlg() override;

    // Shows the dialog and runs an event loop until it ends; returns its result (IDCANCEL when
    // ended by Exit). The dialog blocks no other window: the stage prompts stay answerable.
    int DoModal();

    // Loads the upgrade folder (see the header comment) and sets the controls from the result.
    // Runs once: the first call (the first show at the latest) does the work, later calls return
    // at once. Returns true.
    bool OnInitDialog();

    // "Open upgrade folder ...": the chooser, then the folder chosen replaces the loaded upgrade
    // when it loads. Does nothing while a sequence runs.
    void OnOpenFolder();
    // The chooser that loads ask for a folder; the system's by default.
    void SetFolderChooser(FolderChooser choose) { m_chooseFolder = std::move(choose); }
    // The folder of the loaded upgrade (absolute), or of the last failed load when none loaded.
    const std::string& Folder() const { return m_folder; }

    // bSaveAndValidate: copies the port field's text into m_strPort; otherwise puts m_strPort
    // into the field. Returns true.
    bool UpdateData(bool bSaveAndValidate = true);

    // The control with the given id (IDCANCEL, IDC_PORT_COMBO, ...), or null.
    QWidget* GetDlgItem(int nID) const;

    // Mode radio buttons: each sets the sequencer's update mode and nothing else; a click during
    // an upgrade changes the mode that the following stages read.
    void OnCompleteUpdate();
    void OnOnlyCartridge();
    void OnOnlySti();
    // The current update mode (the sequencer's).
    BYTE GetUpdateMode() const;
    // What the dialog decides without drawing: enabling, mode, port list.
    const CUpgradeDlgLogic& Logic() const { return m_logic; }

    // The presenter that shows the stage prompts. Not owned; it must outlive the dialog. Without
    // one the dialog makes a presenter of its own for its prompts the first time it needs one.
    void SetPresenter(CQtMessagePresenter* pPresenter);
    // The sequencer behind the upload buttons.
    CUpgradeSequencer& Sequencer() { return *m_pSequencer; }

    // "Versions ...": shows the version dialog on a copy of the configuration record.
    void OnVersions();
    // Deep copy of m_ConfigInfo into *pDest (which is overwritten): the texts of the load get
    // fresh blocks (the cartridge files and the Pellum version only after a full load); the
    // copy is released with ReleaseConfigStrings.
    void CopyConfigInfo(CONFIG_INFO* pDest) const;

    // A window-menu command: IDM_ABOUTBOX opens the About box, IDM_OPENFOLDER goes to
    // OnOpenFolder, "Close" goes to OnExit.
    void OnSysCommand(unsigned nID);

    // Releases the configuration texts. Safe to call more than once.
    void ReleaseConfigInfo();

    // The upload buttons and "Exit", handled by the sequencer. "Exit" shows "Upload in
    // progress.\nPlease stop operation first." while a sequence runs; otherwise it closes the
    // connection, releases the configuration and ends the dialog.
    void OnStartUpload();
    void OnCancelUpload();
    void OnExit();

    // Ends the dialog with nResult: closes the call gate, aborts the sequencer, hides the dialog.
    void EndDialog(int nResult);

    // Sets the progress bar (0 to 100, clamped). From another thread the value is posted to the
    // dialog's thread; such a caller must know the dialog exists. A thread that cannot know it
    // posts through a CallGate() handle instead, which stays valid after the dialog is gone.
    void SetProgress(int nPos);

    // Posting calls to this dialog from any thread; see the header comment.
    std::shared_ptr<CGuiCallGate> CallGate() const { return m_pGate; }

    // The About and "Open upgrade folder ..." entries of the context menu (where the window menu
    // takes no entries).
    QAction* AboutAction() const { return m_actAbout; }
    QAction* OpenFolderAction() const { return m_actOpenFolder; }

    // Controls and state, named after the dialog's template and data.
    QPushButton* m_btnVersions = nullptr;
    QPushButton* m_btnCancelUpload = nullptr;
    QPushButton* m_btnStartUpload = nullptr;
    QRadioButton* m_btnOnlySti = nullptr;
    QRadioButton* m_btnCompleteUpdate = nullptr;
    QProgressBar* m_ctlProgress = nullptr;
    QLabel* m_ctlStatus = nullptr;
    QComboBox* m_cboPort = nullptr;
    QString m_strPort;
    QIcon m_hIcon;
    BYTE m_bConfigLoaded = 0;
    BYTE m_nConfigResult = CONFIG_NONE;
    CONFIG_INFO m_ConfigInfo;

public slots:
    // Esc and the close box.
    void reject() override;
    // Enter on no push button that takes it; never ends the dialog.
    void accept() override;
    // Every end of the dialog passes here: the sequencer aborts before the dialog goes.
    void done(int r) override;

public:
    void setVisible(bool visible) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    template <typename Dialog>
    friend class CDialogSequencerUi;
    // The port field's text, as the sequencer reads it at "Start Upload".
    std::string PortText();
    // The status line and the controls' state (see CDialogSequencerUi).
    void ShowStatus(const std::string& text);
    void UpdateControls();

    // The controls in template order, then their ids, tab order, handlers and the context menu's
    // entries.
    void BuildControls();
    void BuildPortField(const CDialogUnits& du);
    void BuildUpdateSetting(const CDialogUnits& du);
    void NumberControls();
    void ConnectHandlers();
    void AddMenuActions();
    // The port list's entries: the template's, then this machine's devices.
    void FillPortList();
    // What LoadUpgradeFolder needs of the dialog.
    UpgradeFolderHooks FolderHooks();
    // Loads folder's configuration. The upgrade it holds replaces the loaded one when it loads
    // (the folder becomes the working directory), or when none is loaded (a failed first load
    // greys the dialog); the sequencer then starts afresh. Returns the load's result.
    BYTE LoadFolder(const std::string& folder);
    // Takes a loaded record (which the dialog then owns) as the dialog's upgrade.
    void Adopt(const std::string& folder, const CONFIG_INFO& info, BYTE nConfigResult);
    // Sets the sequencer's update mode as the radio button of nMode does; MODE_NONE sets none.
    void SelectMode(BYTE nMode);
    // Marks the radio button nID and no other; 0 marks none.
    void CheckRadio(int nID);
    // "Start Upload" when it is enabled, else the port field.
    void SetInitialFocus();
    // The presenter for stage prompts: the one set, else the dialog's own.
    CQtMessagePresenter& Presenter();

    std::string m_firstFolder;
    std::string m_folder;
    FolderChooser m_chooseFolder;
    std::filesystem::path m_deviceRoot;
    bool m_bInitialised = false;
    CUpgradeDlgLogic m_logic;
    QEventLoop* m_pModalLoop = nullptr; // DoModal's loop while it runs
    QPushButton* m_btnExit = nullptr;
    QRadioButton* m_btnOnlyCartridge = nullptr;
    QAction* m_actAbout = nullptr;
    QAction* m_actOpenFolder = nullptr;
    std::shared_ptr<CGuiCallGate> m_pGate;
    CQtMessagePresenter* m_pPresenter = nullptr;
    std::unique_ptr<CQtMessagePresenter> m_pOwnPresenter;
    // The sequencer's window system, then the sequencer, which refers to it and to m_ConfigInfo;
    // the destructor ends the sequencer first.
    std::unique_ptr<CDialogSequencerUi<CUpgradeDlg>> m_pSequencerUi;
    std::unique_ptr<CUpgradeSequencer> m_pSequencer;
};
