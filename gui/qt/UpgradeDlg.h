// The main dialog of Sorvel_User: COM port, update mode, the upload buttons, "Versions ..." and
// the progress bar.
//
// Before the dialog first shows (OnInitDialog, run once by the first show, DoModal included) it
// loads the configuration; the loader's messages come up then, before the dialog. The load
// result enables the controls and selects the update mode:
//   CONFIG_NONE      "Start Upload", "Cancel Upload", "Versions ..." disabled; no mode
//   CONFIG_STI_ONLY  "Complete Update", "Only the Cartridge" disabled; "Only the STI"
//   CONFIG_FULL      everything enabled; "Complete Update"
// The port list offers "COM1:" to "COM4:" ("COM1:" selected), then the serial devices of this
// machine; the field also takes a typed name, which is used exactly as typed.
//
// Ending the dialog: "Exit", Esc, the close box and the window menu's "Close" all go to
// OnExit(), the one place that decides whether the dialog may end; when it does, it releases the
// configuration texts and ends the dialog (EndDialog). Enter never ends the dialog: on a push
// button it presses that button, elsewhere (the port field, a radio button) it does nothing, so
// a stray Enter cannot close the dialog while an upload runs.
//
// The upload buttons drive the upgrade sequencer (CUpgradeSequencer), which the dialog owns:
// "Start Upload", "Cancel Upload" and every way out (OnExit) go to it, the radio buttons set its
// update mode (the only copy of the mode and the stage is the sequencer's), and the dialog is
// its window system: button-handler messages through the process-wide message box, modal to
// the dialog; stage prompts as ownerless, always-on-top boxes of the Qt presenter that leave the
// dialog usable; the progress bar; the port field's text; posting to the dialog's thread
// through the call gate. However the dialog ends (Exit, done() called from elsewhere, the
// destructor), the sequencer first aborts: its open prompt closes, the upload is cancelled and
// the port is closed, so that no engine notification reaches a dialog that is gone.
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

class CUpgradeDlg : public QDialog {
    Q_OBJECT
public:
    // configBaseDir: the folder against which ".\Ressources\Configuration.zkf" and the upload
    // paths resolve (the working directory by default). deviceRoot: where the serial devices
    // are looked for ("/" for this machine).
    explicit CUpgradeDlg(QWidget* pParent = nullptr, std::string configBaseDir = ".",
                         std::filesystem::path deviceRoot = "/");
    ~CUpgradeDlg() override;

    // Shows the dialog and runs an event loop until it ends; returns its result (IDCANCEL when
    // ended by Exit). The dialog blocks no other window: the stage prompts stay answerable.
    int DoModal();

    // Loads the configuration and sets the controls from the result. Runs once: the first call
    // (the first show at the latest) does the work, later calls return at once. Returns true.
    bool OnInitDialog();

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

    // A window-menu command: IDM_ABOUTBOX opens the About box, "Close" goes to OnExit.
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

    // The About entry of the context menu (where the window menu takes no entries).
    QAction* AboutAction() const { return m_actAbout; }

    // Controls and state, named after the dialog's template and data.
    QPushButton* m_btnVersions = nullptr;
    QPushButton* m_btnCancelUpload = nullptr;
    QPushButton* m_btnStartUpload = nullptr;
    QRadioButton* m_btnOnlySti = nullptr;
    QRadioButton* m_btnCompleteUpdate = nullptr;
    QProgressBar* m_ctlProgress = nullptr;
    QComboBox* m_cboPort = nullptr;
    QString m_strPort;
    QIcon m_hIcon;
    BYTE m_bConfigLoaded = 0;
    BYTE m_nConfigResult = CONFIG_NONE;
    CONFIG_INFO m_ConfigInfo;

public slots:
    // Esc and the close box.
    void reject() override;
    // Enter on no push button; never ends the dialog.
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

    // The controls in template order, then their ids, tab order, handlers and the About entry.
    void BuildControls();
    void BuildPortField(const CDialogUnits& du);
    void BuildUpdateSetting(const CDialogUnits& du);
    void NumberControls();
    void ConnectHandlers();
    void AddAboutAction();
    // Sets the sequencer's update mode as the radio button of nMode does; MODE_NONE sets none.
    void SelectMode(BYTE nMode);
    // The presenter for stage prompts: the one set, else the dialog's own.
    CQtMessagePresenter& Presenter();

    std::string m_configBaseDir;
    std::filesystem::path m_deviceRoot;
    bool m_bInitialised = false;
    CUpgradeDlgLogic m_logic;
    QEventLoop* m_pModalLoop = nullptr; // DoModal's loop while it runs
    QPushButton* m_btnExit = nullptr;
    QRadioButton* m_btnOnlyCartridge = nullptr;
    QAction* m_actAbout = nullptr;
    std::shared_ptr<CGuiCallGate> m_pGate;
    CQtMessagePresenter* m_pPresenter = nullptr;
    std::unique_ptr<CQtMessagePresenter> m_pOwnPresenter;
    // The sequencer's window system, then the sequencer, which refers to it and to m_ConfigInfo;
    // the destructor ends the sequencer first.
    std::unique_ptr<ISequencerUi> m_pSequencerUi;
    std::unique_ptr<CUpgradeSequencer> m_pSequencer;
};
