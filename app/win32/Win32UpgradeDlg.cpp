#include "Win32UpgradeDlg.h"

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

// The sequencer's window system. Every method but Post runs on the dialog's thread.
class CUpgradeDlg::CSequencerUi final : public ISequencerUi {
public:
    explicit CSequencerUi(CUpgradeDlg& dlg) : m_dlg(dlg), m_pGate(dlg.m_pGate) {}
    ~CSequencerUi() override { CloseStagePrompt(); }
    CSequencerUi(const CSequencerUi&) = delete;
    CSequencerUi& operator=(const CSequencerUi&) = delete;

    int ShowMessage(const std::string& text, unsigned flags) override {
        // The process-wide box, captioned with the application title; the presenter makes a
        // box of the dialog's thread modal to the dialog.
        return sorvel::AfxMessageBox(text, flags);
    }

    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override {
        CloseStagePrompt();
        m_pPromptPresenter = &m_dlg.Presenter();
        std::shared_ptr<CWin32CallGate> gate = m_pGate;
        // The answer comes on the prompt's own thread; the sequencer takes it on the dialog's
        // thread as an event of its own, and not at all once the dialog has ended.
        m_nPrompt = m_pPromptPresenter->OpenPrompt(
            sorvel::MessageRequest{text, sorvel::ApplicationTitle(), flags},
            [gate, onAnswer = std::move(onAnswer)](int answer) {
                gate->Post([onAnswer, answer] {
                    if (onAnswer)
                        onAnswer(answer);
                });
            });
    }

    void CloseStagePrompt() override {
        if (m_nPrompt != 0 && m_pPromptPresenter != nullptr)
            m_pPromptPresenter->ClosePrompt(m_nPrompt);
        m_nPrompt = 0;
    }

    void SetProgressBar(int nPos) override { m_dlg.SetProgress(nPos); }

    std::string PortText() override { return m_dlg.PortText(); }

    void EndDialog() override {
        m_dlg.ReleaseConfigInfo();
        m_dlg.EndDialog(IDCANCEL);
    }

    // Any thread: the engine's notifications come this way. The gate is the dialog's for life,
    // copied here so that no other thread reads the dialog's members.
    void Post(std::function<void()> task) override { m_pGate->Post(std::move(task)); }

private:
    CUpgradeDlg& m_dlg;
    const std::shared_ptr<CWin32CallGate> m_pGate;
    CWin32MessagePresenter* m_pPromptPresenter = nullptr;
    std::uint64_t m_nPrompt = 0;
};

CUpgradeDlg::CUpgradeDlg(std::string configBaseDir, PortLister listPorts)
    : m_configBaseDir(std::move(configBaseDir)),
      m_listPorts(listPorts ? std::move(listPorts) : PortLister(ListReportedComPorts)),
      m_pGate(std::make_shared<CWin32CallGate>()) {
    m_hIcon = LoadIconA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    m_hSmallIcon = static_cast<HICON>(LoadImageA(ProgramInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    m_pSequencerUi = std::make_unique<CSequencerUi>(*this);
    m_pSequencer =
        std::make_unique<CUpgradeSequencer>(*m_pSequencerUi, m_ConfigInfo, m_configBaseDir);
}

CUpgradeDlg::~CUpgradeDlg() {
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

CWin32MessagePresenter& CUpgradeDlg::Presenter() {
    if (m_pPresenter != nullptr)
        return *m_pPresenter;
    if (!m_pOwnPresenter)
        m_pOwnPresenter = std::make_unique<CWin32MessagePresenter>();
    return *m_pOwnPresenter;
}

int CUpgradeDlg::DoModal() {
    RegisterCommonControls();
    m_bModeless = false;
    const INT_PTR result =
        DialogBoxParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_UPGRADE_DIALOG), nullptr,
                        &CUpgradeDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (result == -1)
        return -1;
    return result == IDOK ? IDOK : IDCANCEL;
}

HWND CUpgradeDlg::Create() {
    RegisterCommonControls();
    m_bModeless = true;
    return CreateDialogParamA(ProgramInstance(), MAKEINTRESOURCEA(IDD_UPGRADE_DIALOG), nullptr,
                              &CUpgradeDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpgradeDlg::DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
    CUpgradeDlg* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CUpgradeDlg*>(lParam);
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        self->m_hWnd = hDlg;
    } else {
        self = reinterpret_cast<CUpgradeDlg*>(GetWindowLongPtrA(hDlg, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (the font, the frame) need nothing of the dialog.
    return self != nullptr ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CUpgradeDlg::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
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

BOOL CUpgradeDlg::OnInitDialog() {
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

void CUpgradeDlg::AppendAboutEntry() {
    HMENU hMenu = GetSystemMenu(m_hWnd, FALSE);
    if (hMenu == nullptr)
        return;
    char text[kMenuTextCapacity] = {};
    if (LoadStringA(ProgramInstance(), IDS_ABOUTBOX, text, kMenuTextCapacity) <= 0)
        return;
    AppendMenuA(hMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(hMenu, MF_STRING, IDM_ABOUTBOX, text);
}

void CUpgradeDlg::FillPortList() {
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

void CUpgradeDlg::OnCommand(int nID, int nCode) {
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

void CUpgradeDlg::OnStartUpload() {
    m_pSequencer->OnStartUpload();
}

void CUpgradeDlg::OnCancelUpload() {
    m_pSequencer->OnCancelUpload();
}

void CUpgradeDlg::OnExit() {
    // The sequencer refuses while a sequence runs; else it ends the dialog through
    // CSequencerUi::EndDialog, which releases the configuration first.
    m_pSequencer->OnExit();
}

void CUpgradeDlg::OnVersions() {
    CVersionsDlg dlg;
    dlg.SetConfigInfo(m_ConfigInfo, m_nConfigResult);
    dlg.DoModal(m_hWnd);
}

void CUpgradeDlg::OnModeRadio(int nID) {
    SelectMode(CUpgradeDlgLogic::ModeOfRadio(nID));
}

bool CUpgradeDlg::OnSysCommand(UINT nID) {
    if ((nID & kSystemCommandMask) != IDM_ABOUTBOX)
        return false;
    CAboutDlg dlg;
    dlg.DoModal(m_hWnd);
    return true;
}

void CUpgradeDlg::SelectMode(BYTE nMode) {
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

BYTE CUpgradeDlg::GetUpdateMode() const {
    return m_pSequencer->GetUpdateMode();
}

void CUpgradeDlg::EndDialog(int nResult) {
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

void CUpgradeDlg::OnDestroy() {
    // However the window goes (EndDialog, the destructor, the system ending the program).
    m_pGate->Close();
    m_pSequencer->Abort();
    Presenter().SetOwner(nullptr);
    m_hWnd = nullptr;
}

void CUpgradeDlg::ReleaseConfigInfo() {
    // The loader may have placed texts in the record even when the load failed.
    ReleaseConfigStrings(&m_ConfigInfo);
}

void CUpgradeDlg::SetProgress(int nPos) {
    if (m_hWnd != nullptr)
        SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(std::clamp(nPos, 0, 100)), 0);
}

std::string CUpgradeDlg::PortText() const {
    HWND hCombo = GetDlgItem(m_hWnd, IDC_PORT_COMBO);
    if (hCombo == nullptr)
        return std::string();
    const int length = GetWindowTextLengthA(hCombo);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(hCombo, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}
