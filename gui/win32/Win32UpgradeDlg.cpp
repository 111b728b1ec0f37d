#include "Win32UpgradeDlg.h"

#include "DialogSequencerUi.h"

#include "MessageBox.h"
#include "Program.h"
#include "Resource.h"
#include "Win32AboutDlg.h"
#include "Win32CallGate.h"
#include "Win32MessagePresenter.h"
#include "Win32SerialPorts.h"
#include "Win32VersionsDlg.h"
#include "Win32Window.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

namespace {

// A system command's low four bits are the system's own.
constexpr UINT kSystemCommandMask = 0xFFF0;
// The About entry's text (string IDS_ABOUTBOX) is short.
constexpr int kMenuTextCapacity = 128;

// The template's progress bar is a common control: its window class must be registered before
// the dialog is created.
void RegisterCommonControls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
}

HINSTANCE ProgramInstance() {
    return GetModuleHandleA(nullptr);
}

} // namespace

CWin32UpgradeDlg::CWin32UpgradeDlg(std::string configBaseDir, PortLister listPorts)
    : m_configBaseDir(std::move(configBaseDir)),
      m_listPorts(listPorts ? std::move(listPorts) : PortLister(ListReportedComPorts)),
      m_pGate(std::make_shared<CWin32CallGate>()) {
    m_hIcon = LoadIconA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    m_hSmallIcon = static_cast<HICON>(LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    m_pSequencerUi = std::make_unique<CDialogSequencerUi<CWin32UpgradeDlg>>(*this);
    m_pSequencer =
        std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_configBaseDir);
}

CWin32UpgradeDlg::~CWin32UpgradeDlg() {
    m_pGate->Close();
    if (m_hWnd != nullptr)
        DestroyWindow(m_hWnd); // a modeless dialog still open: OnDestroy aborts the sequencer
    // The upload stops and the port closes before anything the sequencer refers to goes.
    m_pSequencer->Abort();
    m_pSequencer.reset();
    m_pSequencerUi.reset();
    ReleaseConfigInfo();
    if (m_hSmallIcon != nullptr)
        DestroyIcon(m_hSmallIcon);
}

CWin32MessagePresenter& CWin32UpgradeDlg::Presenter() {
    if (m_pPresenter != nullptr)
        return *m_pPresenter;
    if (!m_pOwnPresenter)
        m_pOwnPresenter = std::make_unique<CWin32MessagePresenter>();
    return *m_pOwnPresenter;
}

int CWin32UpgradeDlg::DoModal() {
    RegisterCommonControls();
    m_bModeless = false;
    const INT_PTR result =
        DialogBoxParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_UPGRADE_DIALOG), nullptr,
                        &CWin32UpgradeDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (result == -1)
        return -1;
    return result == IDOK ? IDOK : IDCANCEL;
}

HWND CWin32UpgradeDlg::Create() {
    RegisterCommonControls();
    m_bModeless = true;
    return CreateDialogParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_UPGRADE_DIALOG), nullptr,
                              &CWin32UpgradeDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CWin32UpgradeDlg::DialogProc(HWND hDlg, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    CWin32UpgradeDlg* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CWin32UpgradeDlg*>(lParam);
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        self->m_hWnd = hDlg;
    } else {
        self = reinterpret_cast<CWin32UpgradeDlg*>(GetWindowLongPtrA(hDlg, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (the font, the frame) need nothing of the dialog.
    return self != nullptr ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CWin32UpgradeDlg::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_SYSCOMMAND:
        // Every other command (move, close, ...) goes to the default processing; "Close" ends
        // up as IDCANCEL, and so in OnExit.
        return OnSysCommand(static_cast<UINT>(wParam)) ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_hIcon);
    case CWin32CallGate::kRunQueuedMessage:
        m_pGate->RunQueued();
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL CWin32UpgradeDlg::OnInitDialog() {
    m_pGate->Open(m_hWnd);
    // Boxes of this thread are modal to the dialog once it shows; the loader's, below, come
    // before it shows and have no owner.
    Presenter().SetOwner(m_hWnd);
    AppendAboutEntry();
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(m_hSmallIcon != nullptr ? m_hSmallIcon : m_hIcon));
    FillPortList();
    SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS, 0, 0);

    // The sequencer starts with no update mode and no stage; the load result selects a mode.
    CConfigFile config(m_configBaseDir);
    m_nConfigResult = config.Load(&m_ConfigInfo);
    m_logic.SetConfigResult(m_nConfigResult);
    m_bConfigLoaded = m_logic.ConfigLoaded();
    for (int id : CUpgradeDlgLogic::kControls)
        EnableWindow(GetDlgItem(m_hWnd, id), m_logic.IsEnabled(id) ? TRUE : FALSE);
    SelectMode(m_logic.InitialUpdateMode());
    if (const int radio = m_logic.CheckedRadio(); radio != 0)
        CheckDlgButton(m_hWnd, radio, BST_CHECKED);
    CenterDialog(m_hWnd);
    // TRUE: the focus goes to the first tab stop, "Exit".
    return TRUE;
}

void CWin32UpgradeDlg::AppendAboutEntry() {
    HMENU hMenu = GetSystemMenu(m_hWnd, FALSE);
    if (hMenu == nullptr)
        return;
    char text[kMenuTextCapacity] = {};
    if (LoadStringA(ProgramInstance(), IDS_ABOUTBOX, text, kMenuTextCapacity) <= 0)
        return;
    AppendMenuA(hMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(hMenu, MF_STRING, IDM_ABOUTBOX, text);
}

void CWin32UpgradeDlg::FillPortList() {
    const std::vector<std::string> entries =
        CUpgradeDlgLogic::PortEntries(CUpgradeDlgLogic::ComPortEntries(m_listPorts()));
    HWND hCombo = GetDlgItem(m_hWnd, IDC_PORT_COMBO);
    SendMessageA(hCombo, CB_RESETCONTENT, 0, 0);
    // CB_INSERTSTRING at the end: the template's sorted list would put "COM10:" before
    // "COM2:"; the entries come in their own order.
    for (const std::string& entry : entries) {
        SendMessageA(hCombo, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageA(hCombo, CB_SETCURSEL, 0, 0);
}

void CWin32UpgradeDlg::OnCommand(int nID, int nCode) {
    switch (nID) {
    case IDOK:
        // Enter outside a push button: the dialog stays; it ends only through OnExit.
        return;
    case IDCANCEL:
        OnExit(); // "Exit", Esc, the close box, the window menu's "Close"
        return;
    default:
        break;
    }
    if (nCode != BN_CLICKED)
        return; // the port field's notifications, among others
    switch (nID) {
    case IDC_START_UPLOAD:
        OnStartUpload();
        break;
    case IDC_CANCEL_UPLOAD:
        OnCancelUpload();
        break;
    case IDC_COMPLETE_UPDATE:
    case IDC_ONLY_CARTRIDGE:
    case IDC_ONLY_STI:
        OnModeRadio(nID);
        break;
    case IDC_VERSIONS:
        OnVersions();
        break;
    default:
        break;
    }
}

void CWin32UpgradeDlg::OnStartUpload() {
    m_pSequencer->OnStartUpload();
}

void CWin32UpgradeDlg::OnCancelUpload() {
    m_pSequencer->OnCancelUpload();
}

void CWin32UpgradeDlg::OnExit() {
    // The sequencer refuses while a sequence runs; else it ends the dialog through
    // CDialogSequencerUi::EndDialog, which releases the configuration first.
    m_pSequencer->OnExit();
}

void CWin32UpgradeDlg::OnVersions() {
    CWin32VersionsDlg dlg;
    dlg.SetConfigInfo(m_ConfigInfo, m_nConfigResult);
    dlg.DoModal(m_hWnd);
}

void CWin32UpgradeDlg::OnModeRadio(int nID) {
    SelectMode(CUpgradeDlgLogic::ModeOfRadio(nID));
}

bool CWin32UpgradeDlg::OnSysCommand(UINT nID) {
    if ((nID & kSystemCommandMask) != IDM_ABOUTBOX)
        return false;
    CWin32AboutDlg dlg;
    dlg.DoModal(m_hWnd);
    return true;
}

void CWin32UpgradeDlg::SelectMode(BYTE nMode) {
    switch (nMode) {
    case MODE_COMPLETE:
        m_pSequencer->OnCompleteUpdate();
        break;
    case MODE_CARTRIDGE_ONLY:
        m_pSequencer->OnOnlyCartridge();
        break;
    case MODE_STI_ONLY:
        m_pSequencer->OnOnlySti();
        break;
    default:
        break; // no mode: the sequencer keeps MODE_NONE and refuses to start
    }
}

BYTE CWin32UpgradeDlg::GetUpdateMode() const {
    return m_pSequencer->GetUpdateMode();
}

void CWin32UpgradeDlg::EndDialog(int nResult) {
    // Nothing posted from now on reaches the dialog, and nothing of a sequence outlives it.
    m_pGate->Close();
    m_pSequencer->Abort();
    if (m_hWnd == nullptr)
        return;
    if (m_bModeless)
        DestroyWindow(m_hWnd);
    else
        ::EndDialog(m_hWnd, nResult);
}

void CWin32UpgradeDlg::OnDestroy() {
    // However the window goes (EndDialog, the destructor, the system ending the program).
    m_pGate->Close();
    m_pSequencer->Abort();
    Presenter().SetOwner(nullptr);
    m_hWnd = nullptr;
}

void CWin32UpgradeDlg::ReleaseConfigInfo() {
    // The loader may have placed texts in the record even when the load failed.
    ReleaseConfigStrings(&m_ConfigInfo);
}

void CWin32UpgradeDlg::SetProgress(int nPos) {
    if (m_hWnd != nullptr)
        SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(std::clamp(nPos, 0, 100)), 0);
}

void CWin32UpgradeDlg::ShowStatus(const std::string& /*text*/) {}

void CWin32UpgradeDlg::UpdateControls() {}

std::string CWin32UpgradeDlg::PortText() const {
    HWND hCombo = GetDlgItem(m_hWnd, IDC_PORT_COMBO);
    if (hCombo == nullptr)
        return std::string();
    const int length = GetWindowTextLengthA(hCombo);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(hCombo, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}
