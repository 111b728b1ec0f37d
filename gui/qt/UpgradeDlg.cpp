#include "UpgradeDlg.h"

#include "DialogSequencerUi.h"

#include "AboutDlg.h"
#include "DialogUnits.h"
#include "MessageBox.h"
#include "PortNames.h"
#include "Program.h"
#include "ProgramIcon.h"
#include "QtMessagePresenter.h"
#include "SerialPorts.h"
#include "SystemMenu.h"
#include "UpgradeFolderSettings.h"
#include "VersionsDlg.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// The About entry of the window menu (string IDS_ABOUTBOX).
constexpr const char* kAboutMenuText = "&About Sorvel_User...";
// The window menu's entry that opens another upgrade, and the chooser's title.
constexpr const char* kOpenFolderMenuText = "Open upgrade folder ...";
constexpr const char* kOpenFolderTitle = "Open upgrade folder";
// A system command's low four bits are the system's own.
constexpr unsigned kSystemCommandMask = 0xFFF0;

// Template size in dialog units: the original template's 131 units of height, and the status
// line below the progress bar.
constexpr int kWidthDu = 192;
constexpr int kStatusTopDu = 120;
constexpr int kStatusHeightDu = 8; // one line of the dialog's font
constexpr int kHeightDu = 131 + (kStatusTopDu + kStatusHeightDu - 117);
// Height of the port field in the template, drop-down list included. The field takes the height
// of its font; the drop-down list is as long as the list, within these bounds, so that the four
// COM entries and a few devices need no scrolling.
constexpr int kPortListHeightDu = 50;
constexpr int kMinVisiblePorts = 8;
constexpr int kMaxVisiblePorts = 24;
// How often the status line counts the seconds of a wait for the box.
constexpr std::chrono::seconds kStatusTick{1};
// The window menu's "Close" command.
constexpr unsigned kScClose = 0xF060;

// Whether the port entry `listed` already opens the device `candidate` names: the same port by
// name, or a COM entry whose device ("COM1:" is /dev/ttyS0, or the device the user mapped it
// to) is that device. Links (a by-id name, the mapping) are followed only on this machine's own
// file system.
bool PortReaches(const std::string& listed, const std::string& candidate, bool thisMachine) {
    if (CUpgradeDlgLogic::SamePort(listed, candidate))
        return true;
    if (sorvel::ComPortNumber(listed) == 0)
        return false;
    if (sorvel::ComPortDevicePath(listed) == candidate)
        return true;
    if (!thisMachine)
        return false;
    std::error_code error;
    const std::string target = std::filesystem::canonical(candidate, error).string();
    return !error && !target.empty() && sorvel::ComPortTarget(listed) == target;
}

// Releases a configuration record's texts when it goes out of scope.
struct ConfigCopy {
    CONFIG_INFO info;
    ~ConfigCopy() { ReleaseConfigStrings(&info); }
};

// The folder by its absolute path, without a trailing "/." or separator; as given when the
// working directory cannot be read.
std::string AbsoluteFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error)
        return folder;
    absolute = absolute.lexically_normal();
    if (!absolute.has_filename() && absolute != absolute.root_path())
        absolute = absolute.parent_path();
    return absolute.string();
}

// Makes folder the working directory, against which the engine opens the upload paths; says why
// when it cannot.
bool MakeWorkingDirectory(const std::string& folder) {
    std::error_code error;
    std::filesystem::current_path(folder, error);
    if (!error)
        return true;
    sorvel::AfxMessageBox("Cannot use folder '" + folder + "': " + error.message(), MB_ICONERROR);
    return false;
}

// The system's folder chooser, over parent when it shows.
std::string ChooseFolder(QWidget* parent, const std::string& from) {
    const QString chosen = QFileDialog::getExistingDirectory(
        parent && parent->isVisible() ? parent : nullptr, QString::fromLatin1(kOpenFolderTitle),
        QFile::decodeName(QByteArray::fromStdString(from)));
    return QFile::encodeName(chosen).toStdString();
}

} // namespace

void CUpgradeDlg::ShowStatus(const std::string& text) {
    const QString whole = QString::fromStdString(text);
    const QString shown =
        QFontMetrics(m_ctlStatus->font())
            .elidedText(whole, Qt::ElideRight, m_ctlStatus->contentsRect().width());
    m_ctlStatus->setText(shown);
    m_ctlStatus->setToolTip(shown == whole ? QString() : whole);
}

void CUpgradeDlg::UpdateControls() {
    const int nState = g_nUploadState.load();
    QWidget* focused = focusWidget();
    // Enabling first, so that a focused control that is disabled hands the focus on to one that
    // can take it.
    for (bool enable : {true, false}) {
        for (int id : CUpgradeDlgLogic::kControls) {
            if (m_logic.IsEnabled(id, nState) == enable)
                GetDlgItem(id)->setEnabled(enable);
        }
    }
    m_actOpenFolder->setEnabled(!CUpgradeDlgLogic::SequenceRuns(nState));
    // The focus that Qt moved on from a disabled control lands on the next tab stop, which may
    // be "Exit"; it goes where a technician continues instead.
    if (focused != nullptr && !focused->isEnabled())
        SetInitialFocus();
}

void CUpgradeDlg::SetInitialFocus() {
    if (m_btnStartUpload->isEnabled())
        m_btnStartUpload->setFocus(Qt::OtherFocusReason);
    else
        m_cboPort->setFocus(Qt::OtherFocusReason);
}

std::string CUpgradeDlg::PortText() {
    UpdateData(true);
    return m_strPort.toStdString();
}

CUpgradeDlg::CUpgradeDlg(QWidget* pParent, std::string upgradeFolder,
                         std::filesystem::path deviceRoot)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(ProgramIcon()), m_firstFolder(AbsoluteFolder(upgradeFolder)), m_folder(m_firstFolder),
      m_chooseFolder([this](const std::string& from) { return ChooseFolder(this, from); }),
      m_deviceRoot(std::move(deviceRoot)), m_pGate(CGuiCallGate::Create(this)) {
    BuildControls();
    m_pSequencerUi = std::make_unique<CDialogSequencerUi<CUpgradeDlg>>(*this);
    m_pSequencer = std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_folder);
    auto* tick = new QTimer(this);
    tick->setInterval(kStatusTick);
    connect(tick, &QTimer::timeout, this, [this] { m_pSequencerUi->Tick(); });
    tick->start();
}

CUpgradeDlg::~CUpgradeDlg() {
    m_pGate->Close();
    // A dialog destroyed while open (the program ends without "Exit"): the upload stops and the
    // port closes before anything the sequencer refers to goes.
    m_pSequencer->Abort();
    m_pSequencer.reset();
    m_pSequencerUi.reset();
    // Ends that skip OnExit must not leak the texts.
    ReleaseConfigInfo();
}

void CUpgradeDlg::SetPresenter(CQtMessagePresenter* pPresenter) {
    m_pPresenter = pPresenter;
}

CQtMessagePresenter& CUpgradeDlg::Presenter() {
    if (m_pPresenter != nullptr)
        return *m_pPresenter;
    if (!m_pOwnPresenter)
        m_pOwnPresenter = std::make_unique<CQtMessagePresenter>();
    return *m_pOwnPresenter;
}

void CUpgradeDlg::BuildControls() {
    setObjectName(QStringLiteral("IDD_UPGRADE_DIALOG"));
    setWindowTitle(QStringLiteral("Brevon Box Upgrade tool v1.3.9"));
    setFont(DialogFont());
    const CDialogUnits du = CDialogUnits::FromFont(font());
    setFixedSize(du.Size(kWidthDu, kHeightDu));

    // Controls in template order, which is also the tab order.
    m_btnExit = new QPushButton(QStringLiteral("Exit"), this);
    m_btnExit->setGeometry(du.Rect(135, 53, 50, 14));
    BuildPortField(du);
    m_btnStartUpload = new QPushButton(QStringLiteral("Start Upload"), this);
    m_btnStartUpload->setGeometry(du.Rect(135, 15, 50, 14));
    m_btnCancelUpload = new QPushButton(QStringLiteral("Cancel Upload"), this);
    m_btnCancelUpload->setGeometry(du.Rect(135, 34, 50, 14));
    m_ctlProgress = new QProgressBar(this);
    m_ctlProgress->setRange(0, 100);
    m_ctlProgress->setValue(0);
    m_ctlProgress->setTextVisible(false);
    m_ctlProgress->setGeometry(du.Rect(7, 103, 178, 14));
    BuildUpdateSetting(du);
    m_btnVersions = new QPushButton(QStringLiteral("Versions ..."), this);
    m_btnVersions->setGeometry(du.Rect(135, 84, 50, 14));
    m_ctlStatus = new QLabel(this);
    m_ctlStatus->setTextFormat(Qt::PlainText);
    m_ctlStatus->setGeometry(du.Rect(7, kStatusTopDu, 178, kStatusHeightDu));

    // Enter presses the focused push button, but never "Exit": a stray Enter must not close the
    // program. Space still presses it.
    m_btnExit->setAutoDefault(false);

    NumberControls();
    ConnectHandlers();
    AddMenuActions();
}

void CUpgradeDlg::BuildPortField(const CDialogUnits& du) {
    auto* portLabel = new QLabel(QStringLiteral("COM Port Selection :"), this);
    portLabel->setTextFormat(Qt::PlainText);
    portLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    portLabel->setGeometry(du.Rect(27, 7, 69, 8));

    m_cboPort = new QComboBox(this);
    m_cboPort->setEditable(true);
    // The field takes any name; Enter must not add it to the list.
    m_cboPort->setInsertPolicy(QComboBox::NoInsert);
    // Nor may typing "COM1" be completed to the list's "COM1:": the name is used as typed.
    m_cboPort->setCompleter(nullptr);
    for (const char* port : CUpgradeDlgLogic::kTemplatePorts)
        m_cboPort->addItem(QString::fromLatin1(port));
    int comboHeight = m_cboPort->sizeHint().height();
    QRect comboRect = du.Rect(27, 19, 83, kPortListHeightDu);
    m_cboPort->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(), comboHeight);
}

void CUpgradeDlg::BuildUpdateSetting(const CDialogUnits& du) {
    m_btnCompleteUpdate = new QRadioButton(QStringLiteral("Complete Update"), this);
    m_btnCompleteUpdate->setGeometry(du.Rect(17, 49, 71, 10));
    m_btnOnlyCartridge = new QRadioButton(QStringLiteral("Only the Cartridge"), this);
    m_btnOnlyCartridge->setGeometry(du.Rect(17, 62, 72, 10));
    m_btnOnlySti = new QRadioButton(QStringLiteral("Only the STI"), this);
    m_btnOnlySti->setGeometry(du.Rect(17, 76, 55, 10));

    auto* group = new QGroupBox(QStringLiteral("Update Setting"), this);
    group->setGeometry(du.Rect(11, 39, 110, 51));
    // The template's group box draws its frame through the middle of its title, so that the
    // radio buttons fit below the title; styles that put the title above the frame would push
    // the frame onto the first radio button.
    group->setStyleSheet(
        QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: %2px; padding: 0 2px; }")
            .arg(group->fontMetrics().height() / 2)
            .arg(du.X(2)));
    // The frame is drawn behind the radio buttons and must not take their clicks.
    group->lower();
    group->setFocusPolicy(Qt::NoFocus);
}

// The template's control ids, for GetDlgItem, and the tab order, which is the template's.
void CUpgradeDlg::NumberControls() {
    const std::pair<QWidget*, int> ids[] = {
        {m_btnExit, IDCANCEL},
        {m_cboPort, IDC_PORT_COMBO},
        {m_btnStartUpload, IDC_START_UPLOAD},
        {m_btnCancelUpload, IDC_CANCEL_UPLOAD},
        {m_ctlProgress, IDC_PROGRESS},
        {m_btnCompleteUpdate, IDC_COMPLETE_UPDATE},
        {m_btnOnlyCartridge, IDC_ONLY_CARTRIDGE},
        {m_btnOnlySti, IDC_ONLY_STI},
        {m_btnVersions, IDC_VERSIONS},
        {m_ctlStatus, IDC_STATUS},
    };
    QWidget* previous = nullptr;
    for (const auto& [widget, id] : ids) {
        widget->setProperty("dlgCtrlId", id);
        widget->setObjectName(QStringLiteral("IDC_%1").arg(id));
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
}

void CUpgradeDlg::ConnectHandlers() {
    connect(m_btnExit, &QPushButton::clicked, this, [this] { OnExit(); });
    connect(m_btnStartUpload, &QPushButton::clicked, this, [this] { OnStartUpload(); });
    connect(m_btnCancelUpload, &QPushButton::clicked, this, [this] { OnCancelUpload(); });
    connect(m_btnCompleteUpdate, &QRadioButton::clicked, this, [this] { OnCompleteUpdate(); });
    connect(m_btnOnlyCartridge, &QRadioButton::clicked, this, [this] { OnOnlyCartridge(); });
    connect(m_btnOnlySti, &QRadioButton::clicked, this, [this] { OnOnlySti(); });
    connect(m_btnVersions, &QPushButton::clicked, this, [this] { OnVersions(); });
}

// Where the window menu takes no entries of the program, its entries are in the dialog's
// context menu, "Open upgrade folder ..." on Ctrl+O and About on F1. OnInitDialog removes them
// again where the window menu took them.
void CUpgradeDlg::AddMenuActions() {
    m_actOpenFolder = new QAction(QString::fromLatin1(kOpenFolderMenuText), this);
    m_actOpenFolder->setShortcut(QKeySequence::Open);
    m_actOpenFolder->setShortcutContext(Qt::WindowShortcut);
    connect(m_actOpenFolder, &QAction::triggered, this, [this] { OnSysCommand(IDM_OPENFOLDER); });
    addAction(m_actOpenFolder);
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    m_actAbout = new QAction(QString::fromLatin1(kAboutMenuText), this);
    m_actAbout->setShortcut(QKeySequence(Qt::Key_F1));
    m_actAbout->setShortcutContext(Qt::WindowShortcut);
    connect(m_actAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    addAction(m_actAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

bool CUpgradeDlg::OnInitDialog() {
    if (m_bInitialised)
        return true;
    m_bInitialised = true;

    if (AppendToSystemMenu(this, IDM_OPENFOLDER, QString::fromLatin1(kOpenFolderMenuText)) &&
        AppendToSystemMenu(this, IDM_ABOUTBOX, QString::fromLatin1(kAboutMenuText))) {
        for (QAction* action : actions())
            removeAction(action);
        setContextMenuPolicy(Qt::DefaultContextMenu);
    }
    setWindowIcon(m_hIcon);
    FillPortList();

    // The loader and the chooser show themselves now, before the dialog is visible.
    LoadUpgradeFolder(m_firstFolder, FolderHooks());
    SetInitialFocus();
    return true;
}

void CUpgradeDlg::FillPortList() {
    // The template's entries, then the serial devices of this machine that none of them
    // reaches already.
    const bool thisMachine = m_deviceRoot == "/";
    const std::vector<std::string> ports = CUpgradeDlgLogic::PortEntries(
        ListSerialPorts(m_deviceRoot),
        [thisMachine](const std::string& listed, const std::string& candidate) {
            return PortReaches(listed, candidate, thisMachine);
        });
    m_cboPort->clear();
    for (const std::string& port : ports)
        m_cboPort->addItem(QString::fromStdString(port));
    m_cboPort->setCurrentIndex(0);
    m_cboPort->setMaxVisibleItems(
        std::clamp(m_cboPort->count(), kMinVisiblePorts, kMaxVisiblePorts));
}

UpgradeFolderHooks CUpgradeDlg::FolderHooks() {
    UpgradeFolderHooks hooks;
    hooks.load = [this](const std::string& folder) { return LoadFolder(folder); };
    hooks.choose = m_chooseFolder;
    hooks.remember = RememberUpgradeFolder;
    return hooks;
}

BYTE CUpgradeDlg::LoadFolder(const std::string& folder) {
    const std::string absolute = AbsoluteFolder(folder);
    CONFIG_INFO info;
    CConfigFile config(absolute);
    BYTE nResult = config.Load(&info);
    if (nResult != CONFIG_NONE && !MakeWorkingDirectory(absolute))
        nResult = CONFIG_NONE;
    if (nResult == CONFIG_NONE && m_nConfigResult != CONFIG_NONE) {
        // The loaded upgrade stays; the messages said what is wrong with this folder.
        ReleaseConfigStrings(&info);
        return nResult;
    }
    Adopt(absolute, info, nResult);
    return nResult;
}

void CUpgradeDlg::Adopt(const std::string& folder, const CONFIG_INFO& info, BYTE nConfigResult) {
    // The sequencer refers to the record and checks the files against the folder: it starts
    // afresh on the new ones. Nothing runs (the folder entry is disabled while a sequence runs),
    // so this only lets go of a port a stopped sequence still holds.
    m_pSequencer.reset();
    ReleaseConfigInfo();
    // The record's texts are the dialog's from here on, those of a failed load too.
    m_ConfigInfo = info;
    m_folder = folder;
    m_nConfigResult = nConfigResult;
    m_logic.SetConfigResult(nConfigResult);
    m_bConfigLoaded = m_logic.ConfigLoaded();
    m_pSequencer = std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_folder);
    // The sequencer starts with no update mode and no stage; the load result selects a mode.
    SelectMode(m_logic.InitialUpdateMode());
    CheckRadio(m_logic.CheckedRadio());
    m_ctlProgress->setValue(0);
    m_pSequencerUi->SetConfigResult(nConfigResult);
    UpdateControls();
}

void CUpgradeDlg::CheckRadio(int nID) {
    for (int id : {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE, IDC_ONLY_STI}) {
        auto* radio = qobject_cast<QRadioButton*>(GetDlgItem(id));
        // The group keeps one button marked; unmarking the last one needs it let go for a moment.
        radio->setAutoExclusive(false);
        radio->setChecked(id == nID);
        radio->setAutoExclusive(true);
    }
}

void CUpgradeDlg::OnOpenFolder() {
    // Nothing may change under a running upgrade. The entry is disabled then; a command that
    // comes all the same (from the window menu) is ignored.
    if (CUpgradeDlgLogic::SequenceRuns(g_nUploadState.load()))
        return;
    const std::string chosen = m_chooseFolder ? m_chooseFolder(m_folder) : std::string();
    if (!chosen.empty())
        LoadUpgradeFolder(chosen, FolderHooks());
    UpdateControls();
}

void CUpgradeDlg::setVisible(bool visible) {
    if (visible && !m_bInitialised)
        OnInitDialog();
    QDialog::setVisible(visible);
    if (!visible && m_pModalLoop != nullptr)
        m_pModalLoop->exit();
}

int CUpgradeDlg::DoModal() {
    OnInitDialog();
    // Not QDialog::exec(): that makes a dialog without parent modal to the whole program, and
    // the stage prompts, ownerless windows of their own, would then take no input at all. The
    // dialog is the program's one main window and needs no modality; its own loop runs until
    // the dialog ends or hides.
    QEventLoop loop;
    m_pModalLoop = &loop;
    show();
    if (isVisible())
        loop.exec(QEventLoop::DialogExec);
    m_pModalLoop = nullptr;
    return result() == QDialog::Accepted ? IDOK : IDCANCEL;
}

bool CUpgradeDlg::UpdateData(bool bSaveAndValidate) {
    if (bSaveAndValidate)
        m_strPort = m_cboPort->currentText();
    else
        m_cboPort->setEditText(m_strPort);
    return true;
}

QWidget* CUpgradeDlg::GetDlgItem(int nID) const {
    const QList<QWidget*> children = findChildren<QWidget*>();
    for (QWidget* child : children) {
        QVariant id = child->property("dlgCtrlId");
        if (id.isValid() && id.toInt() == nID)
            return child;
    }
    return nullptr;
}

void CUpgradeDlg::OnCompleteUpdate() {
    m_pSequencer->OnCompleteUpdate();
    UpdateControls();
}

void CUpgradeDlg::OnOnlyCartridge() {
    m_pSequencer->OnOnlyCartridge();
    UpdateControls();
}

void CUpgradeDlg::OnOnlySti() {
    m_pSequencer->OnOnlySti();
    UpdateControls();
}

void CUpgradeDlg::SelectMode(BYTE nMode) {
    switch (nMode) {
    case MODE_COMPLETE:
        OnCompleteUpdate();
        break;
    case MODE_CARTRIDGE_ONLY:
        OnOnlyCartridge();
        break;
    case MODE_STI_ONLY:
        OnOnlySti();
        break;
    default:
        break; // no mode: the sequencer keeps MODE_NONE and refuses to start
    }
}

BYTE CUpgradeDlg::GetUpdateMode() const {
    return m_pSequencer->GetUpdateMode();
}

void CUpgradeDlg::CopyConfigInfo(CONFIG_INFO* pDest) const {
    CONFIG_INFO copy;
    ::CopyConfigInfo(m_ConfigInfo, &copy);
    // Only a full load set the cartridge files and the Pellum version.
    if (m_nConfigResult != CONFIG_FULL) {
        for (char** text :
             {&copy.pszCartridgeFile1, &copy.pszCartridgeFile2, &copy.pszPellumVersion}) {
            delete[] * text;
            *text = nullptr;
        }
    }
    *pDest = copy;
}

void CUpgradeDlg::OnVersions() {
    // The parent places the version dialog over this one; it reads only its own copy.
    CVersionsDlg dlg(this);
    ConfigCopy copy;
    CopyConfigInfo(&copy.info);
    dlg.SetConfigInfo(copy.info, m_nConfigResult);
    dlg.DoModal();
}

void CUpgradeDlg::OnSysCommand(unsigned nID) {
    switch (nID & kSystemCommandMask) {
    case IDM_ABOUTBOX: {
        CAboutDlg dlg(this);
        dlg.DoModal();
        break;
    }
    case IDM_OPENFOLDER:
        OnOpenFolder();
        break;
    case kScClose:
        // As the close box: through OnExit.
        close();
        break;
    default:
        break; // the window system handles its own commands
    }
}

void CUpgradeDlg::ReleaseConfigInfo() {
    // The loader may have placed texts in the record even when the load failed; they are
    // released in every case.
    ReleaseConfigStrings(&m_ConfigInfo);
}

void CUpgradeDlg::OnStartUpload() {
    m_pSequencer->OnStartUpload();
    UpdateControls();
}

void CUpgradeDlg::OnCancelUpload() {
    m_pSequencer->OnCancelUpload();
    UpdateControls();
}

void CUpgradeDlg::OnExit() {
    // The sequencer refuses while a sequence runs; else it ends the dialog through
    // CDialogSequencerUi::EndDialog, which releases the configuration first.
    m_pSequencer->OnExit();
    UpdateControls();
}

void CUpgradeDlg::EndDialog(int nResult) {
    done(nResult == IDOK ? QDialog::Accepted : QDialog::Rejected);
}

void CUpgradeDlg::done(int r) {
    // Nothing posted from now on reaches the dialog.
    m_pGate->Close();
    // An end that did not come through "Exit" (a caller of done(), the program quitting) may
    // leave a sequence running: it stops here, prompt, upload and port, before the dialog goes.
    m_pSequencer->Abort();
    QDialog::done(r);
}

void CUpgradeDlg::reject() {
    OnExit();
}

void CUpgradeDlg::accept() {
    // Enter outside a push button: the dialog stays; it ends only through OnExit.
}

void CUpgradeDlg::SetProgress(int nPos) {
    nPos = std::clamp(nPos, 0, 100);
    if (QThread::currentThread() != thread()) {
        m_pGate->Post([this, nPos] { SetProgress(nPos); });
        return;
    }
    m_ctlProgress->setValue(nPos);
}

void CUpgradeDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Enter:
    case Qt::Key_Return:
        // A focused push button that takes Enter ("Exit" does not) takes it itself; everything
        // else lets it pass to here, where it does nothing: QDialog would press the default
        // button or end the dialog.
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool CUpgradeDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    unsigned command = 0;
    if (SystemCommandOf(eventType, message, &command) &&
        ((command & kSystemCommandMask) == IDM_ABOUTBOX ||
         (command & kSystemCommandMask) == IDM_OPENFOLDER)) {
        OnSysCommand(command);
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
