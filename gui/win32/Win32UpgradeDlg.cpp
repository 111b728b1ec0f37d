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
constexpr const char* kOpenFolderEntry = "Open upgrade folder ...";
// The status line counts the seconds of a wait for the box.
constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusTimerPeriodMs = 1000;
// The subclass of "Exit" (SetWindowSubclass's id).
constexpr UINT_PTR kExitButtonSubclass = 1;
// Posted on activation: the focus that the dialog manager gives back is checked once it is back.
constexpr UINT kCheckFocusMessage = WM_APP + 2;

// The template's progress bar is a common control: its window class must be registered before
// the dialog is created.
void RegisterCommonControls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
}

HINSTANCE ProgramInstance() {
    return GetModuleHandleA(nullptr);
}

// "Exit" as the dialog manager sees it. On Enter the dialog manager presses the focused push
// button; "Exit" says it is none, so that Enter on it goes to the dialog's default command
// (IDOK), which does nothing. Space and clicks still press it: the button handles those itself.
LRESULT CALLBACK ExitButtonProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                DWORD_PTR /*data*/) {
    if (message == WM_GETDLGCODE) {
        return DefSubclassProc(hWnd, message, wParam, lParam) &
               ~static_cast<LRESULT>(DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON);
    }
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(hWnd, &ExitButtonProc, id);
    return DefSubclassProc(hWnd, message, wParam, lParam);
}

// A control's text; "" for no control.
std::string WindowTextOf(HWND hControl) {
    if (hControl == nullptr)
        return std::string();
    const int length = GetWindowTextLengthA(hControl);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(hControl, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}

// folder as an absolute path, as the system completes it against the working directory.
std::string AbsoluteFolder(const std::string& folder) {
    const DWORD length = GetFullPathNameA(folder.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return folder;
    std::string full(length, '\0');
    const DWORD copied = GetFullPathNameA(folder.c_str(), length, full.data(), nullptr);
    if (copied == 0 || copied >= length)
        return folder;
    full.resize(copied);
    return full;
}

} // namespace

CWin32UpgradeDlg::CWin32UpgradeDlg(std::string upgradeFolder, PortLister listPorts)
    : m_firstFolder(std::move(upgradeFolder)),
      m_listPorts(listPorts ? std::move(listPorts) : PortLister(ListReportedComPorts)),
      m_pGate(std::make_shared<CWin32CallGate>()) {
    m_hIcon = LoadIconA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    m_hSmallIcon = static_cast<HICON>(LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    m_pSequencerUi = std::make_unique<CDialogSequencerUi<CWin32UpgradeDlg>>(*this);
    m_pSequencer =
        std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_firstFolder);
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

void CWin32UpgradeDlg::SetFolderServices(FolderChooser choose, FolderKeeper remember) {
    m_choose = std::move(choose);
    m_remember = std::move(remember);
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
    case WM_TIMER:
        if (wParam == kStatusTimer)
            m_pSequencerUi->Tick();
        return TRUE;
    case WM_ACTIVATE:
        // The dialog manager gives the focus back to the control that had it, which may have
        // been disabled meanwhile (a sequence that ended behind a stage prompt).
        if (LOWORD(wParam) != WA_INACTIVE)
            PostMessageA(m_hWnd, kCheckFocusMessage, 0, 0);
        return FALSE;
    case kCheckFocusMessage:
        KeepFocusUsable(FocusedControl());
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
    AppendMenuEntries();
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(m_hSmallIcon != nullptr ? m_hSmallIcon : m_hIcon));
    SetWindowSubclass(GetDlgItem(m_hWnd, IDCANCEL), &ExitButtonProc, kExitButtonSubclass, 0);
    m_tips.Create(m_hWnd);
    FillPortList();
    SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS, 0, 0);

    // Nothing loaded until a folder loads: the controls say so, and the sequencer has no update
    // mode; a load selects one.
    ApplyLoad(CONFIG_NONE);
    LoadUpgradeFolder(m_firstFolder, FolderHooks(), static_cast<bool>(m_choose));
    SetTimer(m_hWnd, kStatusTimer, kStatusTimerPeriodMs, nullptr);
    CenterDialog(m_hWnd);
    FocusFirstControl();
    // FALSE: the focus is set.
    return FALSE;
}

UpgradeFolderHooks CWin32UpgradeDlg::FolderHooks() {
    UpgradeFolderHooks hooks;
    hooks.load = [this](const std::string& folder) { return LoadFolder(folder); };
    if (m_choose) {
        hooks.choose = [this](const std::string& from) {
            // Over the dialog once it shows; before, the chooser stands alone, as the loader's
            // messages do.
            return m_choose(m_hWnd != nullptr && IsWindowVisible(m_hWnd) ? m_hWnd : nullptr, from);
        };
    }
    hooks.remember = m_remember;
    return hooks;
}

BYTE CWin32UpgradeDlg::LoadFolder(const std::string& folder) {
    const std::string absolute = AbsoluteFolder(folder);
    CONFIG_INFO info;
    const BYTE result = CConfigFile(absolute).Load(&info);
    if (result == CONFIG_NONE) {
        // The loader said what is wrong; what was loaded before stays.
        ReleaseConfigStrings(&info);
        return result;
    }
    if (!SetCurrentDirectoryA(absolute.c_str())) {
        sorvel::AfxMessageBox("Cannot use folder '" + absolute + "':\n" +
                                  sorvel::Win32ErrorText(GetLastError()),
                              MB_OK | MB_ICONERROR);
        ReleaseConfigStrings(&info);
        return CONFIG_NONE;
    }
    ReleaseConfigInfo();
    m_ConfigInfo = info; // the record's text blocks change owner
    info = CONFIG_INFO{};
    m_folder = absolute;
    ApplyLoad(result);
    return result;
}

void CWin32UpgradeDlg::ApplyLoad(BYTE nConfigResult) {
    m_nConfigResult = nConfigResult;
    m_logic.SetConfigResult(nConfigResult);
    m_bConfigLoaded = m_logic.ConfigLoaded();
    if (nConfigResult != CONFIG_NONE) {
        // The sequencer checks each file again against the configuration of its folder; a new
        // folder gets a new sequencer (nothing runs while a folder loads).
        m_pSequencer.reset();
        m_pSequencer = std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_folder);
    }
    SelectMode(m_logic.InitialUpdateMode());
    const int radio = m_logic.CheckedRadio();
    for (int id : {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE, IDC_ONLY_STI})
        CheckDlgButton(m_hWnd, id, id == radio ? BST_CHECKED : BST_UNCHECKED);
    m_pSequencerUi->SetConfigResult(nConfigResult);
    UpdateControls();
}

void CWin32UpgradeDlg::FocusFirstControl() {
    HWND hStart = GetDlgItem(m_hWnd, IDC_START_UPLOAD);
    HWND hFocus = IsWindowEnabled(hStart) ? hStart : GetDlgItem(m_hWnd, IDC_PORT_COMBO);
    // Through the dialog manager, which also moves the default push button's frame.
    SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hFocus), TRUE);
}

void CWin32UpgradeDlg::AppendMenuEntries() {
    HMENU hMenu = GetSystemMenu(m_hWnd, FALSE);
    if (hMenu == nullptr)
        return;
    AppendMenuA(hMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(hMenu, MF_STRING, IDM_OPENFOLDER, kOpenFolderEntry);
    char text[kMenuTextCapacity] = {};
    if (LoadStringA(ProgramInstance(), IDS_ABOUTBOX, text, kMenuTextCapacity) > 0)
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
    UpdateControls();
}

void CWin32UpgradeDlg::OnCancelUpload() {
    m_pSequencer->OnCancelUpload();
    UpdateControls();
}

void CWin32UpgradeDlg::OnExit() {
    // The sequencer refuses while a sequence runs; else it ends the dialog through
    // CDialogSequencerUi::EndDialog, which releases the configuration first.
    m_pSequencer->OnExit();
    UpdateControls();
}

void CWin32UpgradeDlg::OnVersions() {
    CWin32VersionsDlg dlg;
    dlg.SetConfigInfo(m_ConfigInfo, m_nConfigResult);
    dlg.DoModal(m_hWnd);
    UpdateControls();
}

void CWin32UpgradeDlg::OnModeRadio(int nID) {
    SelectMode(CUpgradeDlgLogic::ModeOfRadio(nID));
    UpdateControls();
}

bool CWin32UpgradeDlg::OnSysCommand(UINT nID) {
    switch (nID & kSystemCommandMask) {
    case IDM_ABOUTBOX: {
        CWin32AboutDlg dlg;
        dlg.DoModal(m_hWnd);
        return true;
    }
    case IDM_OPENFOLDER:
        OnOpenFolder();
        return true;
    default:
        return false;
    }
}

void CWin32UpgradeDlg::OnOpenFolder() {
    // The entry is greyed while a sequence runs; a command that comes anyway changes nothing.
    if (!m_choose || CUpgradeDlgLogic::SequenceRuns(g_nUploadState))
        return;
    const std::string chosen =
        m_choose(m_hWnd, m_folder.empty() ? AbsoluteFolder(m_firstFolder) : m_folder);
    if (chosen.empty())
        return;
    // A folder that does not load leaves the upgrade loaded as it was (LoadFolder).
    LoadUpgradeFolder(chosen, FolderHooks());
    UpdateControls();
    FocusFirstControl();
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
    KillTimer(m_hWnd, kStatusTimer);
    m_tips.Destroy();
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

void CWin32UpgradeDlg::ShowStatus(const std::string& text) {
    if (m_hWnd == nullptr)
        return;
    SetDlgItemTextA(m_hWnd, IDC_STATUS, text.c_str());
    m_tips.Update(GetDlgItem(m_hWnd, IDC_STATUS));
}

std::string CWin32UpgradeDlg::StatusText() const {
    return WindowTextOf(GetDlgItem(m_hWnd, IDC_STATUS));
}

std::string CWin32UpgradeDlg::StatusTip() const {
    return m_hWnd != nullptr ? m_tips.TipText(GetDlgItem(m_hWnd, IDC_STATUS)) : std::string();
}

void CWin32UpgradeDlg::UpdateControls() {
    if (m_hWnd == nullptr)
        return;
    // Taken before the system drops the focus of a control that it disables.
    HWND hFocus = FocusedControl();
    const int nState = g_nUploadState.load();
    for (int id : CUpgradeDlgLogic::kControls)
        EnableWindow(GetDlgItem(m_hWnd, id), m_logic.IsEnabled(id, nState) ? TRUE : FALSE);
    if (HMENU hMenu = GetSystemMenu(m_hWnd, FALSE); hMenu != nullptr) {
        EnableMenuItem(hMenu, IDM_OPENFOLDER,
                       MF_BYCOMMAND |
                           (CUpgradeDlgLogic::SequenceRuns(nState) ? MF_GRAYED : MF_ENABLED));
    }
    KeepFocusUsable(hFocus);
}

HWND CWin32UpgradeDlg::FocusedControl() const {
    HWND hFocus = GetFocus();
    if (hFocus == nullptr || !IsChild(m_hWnd, hFocus))
        return nullptr;
    while (GetParent(hFocus) != m_hWnd)
        hFocus = GetParent(hFocus); // the port field for its edit part
    return hFocus;
}

void CWin32UpgradeDlg::KeepFocusUsable(HWND hFocus) {
    if (hFocus == nullptr || IsWindowEnabled(hFocus))
        return;
    // "Start Upload" when it can act again, else the next control that can: the keyboard keeps
    // working, and Enter does what the user most likely wants next.
    HWND hNext = GetDlgItem(m_hWnd, IDC_START_UPLOAD);
    if (!IsWindowEnabled(hNext))
        hNext = GetNextDlgTabItem(m_hWnd, hFocus, FALSE);
    if (hNext != nullptr)
        SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hNext), TRUE);
}

std::string CWin32UpgradeDlg::PortText() const {
    return WindowTextOf(GetDlgItem(m_hWnd, IDC_PORT_COMBO));
}
