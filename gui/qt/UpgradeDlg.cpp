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
#include "VersionsDlg.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

#include <algorithm>

namespace {

// The About entry of the window menu (string IDS_ABOUTBOX).
constexpr const char* kAboutMenuText = "&About Sorvel_User...";
// A system command's low four bits are the system's own.
constexpr unsigned kSystemCommandMask = 0xFFF0;

// Template size in dialog units.
constexpr int kWidthDu = 192;
constexpr int kHeightDu = 131;
// Height of the port list in the template, drop-down list included.
constexpr int kPortListHeightDu = 50;
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

} // namespace

void CUpgradeDlg::ShowStatus(const std::string& /*text*/) {}

void CUpgradeDlg::UpdateControls() {}

std::string CUpgradeDlg::PortText() {
    UpdateData(true);
    return m_strPort.toStdString();
}

CUpgradeDlg::CUpgradeDlg(QWidget* pParent, std::string configBaseDir,
                         std::filesystem::path deviceRoot)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(ProgramIcon()), m_configBaseDir(std::move(configBaseDir)),
      m_deviceRoot(std::move(deviceRoot)), m_pGate(CGuiCallGate::Create(this)) {
    BuildControls();
    m_pSequencerUi = std::make_unique<CDialogSequencerUi<CUpgradeDlg>>(*this);
    m_pSequencer =
        std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_configBaseDir);
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

    NumberControls();
    ConnectHandlers();
    AddAboutAction();
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
    // The rest of the template's height is the drop-down list.
    int itemHeight = std::max(1, m_cboPort->fontMetrics().height() + 2);
    m_cboPort->setMaxVisibleItems(std::max(1, (comboRect.height() - comboHeight) / itemHeight));
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

// Where the window menu takes no entries of the program, the About entry is in the dialog's
// context menu and on F1. OnInitDialog removes it again where the window menu took it.
void CUpgradeDlg::AddAboutAction() {
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

    if (AppendToSystemMenu(this, IDM_ABOUTBOX, QString::fromLatin1(kAboutMenuText))) {
        removeAction(m_actAbout);
        setContextMenuPolicy(Qt::DefaultContextMenu);
    }
    setWindowIcon(m_hIcon);

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
    m_ctlProgress->setValue(0);

    // The sequencer starts with no update mode and no stage; the load result selects a mode.

    // The loader shows its own messages now, before the dialog is visible.
    CConfigFile config(m_configBaseDir);
    m_nConfigResult = config.Load(&m_ConfigInfo);
    m_logic.SetConfigResult(m_nConfigResult);
    m_bConfigLoaded = m_logic.ConfigLoaded();

    for (int id : CUpgradeDlgLogic::kControls)
        GetDlgItem(id)->setEnabled(m_logic.IsEnabled(id));
    SelectMode(m_logic.InitialUpdateMode());
    if (auto* radio = qobject_cast<QRadioButton*>(GetDlgItem(m_logic.CheckedRadio())))
        radio->setChecked(true);

    // The first tab stop, "Exit", has the focus.
    m_btnExit->setFocus(Qt::OtherFocusReason);
    return true;
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
}

void CUpgradeDlg::OnOnlyCartridge() {
    m_pSequencer->OnOnlyCartridge();
}

void CUpgradeDlg::OnOnlySti() {
    m_pSequencer->OnOnlySti();
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
}

void CUpgradeDlg::OnCancelUpload() {
    m_pSequencer->OnCancelUpload();
}

void CUpgradeDlg::OnExit() {
    // The sequencer refuses while a sequence runs; else it ends the dialog through
    // CDialogSequencerUi::EndDialog, which releases the configuration first.
    m_pSequencer->OnExit();
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
        // A focused push button takes Enter itself; everything else lets it pass to here.
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool CUpgradeDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    unsigned command = 0;
    if (SystemCommandOf(eventType, message, &command) &&
        (command & kSystemCommandMask) == IDM_ABOUTBOX) {
        OnSysCommand(command);
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}
