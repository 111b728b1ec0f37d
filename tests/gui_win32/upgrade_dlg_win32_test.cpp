// The Win32 views: what the controls show and allow after each kind of load, the port list,
// the window menu's entries, what Enter, Space and Esc do, where the upgrade folder comes from,
// the version dialog's fields, stage prompts that leave the dialog usable, and the call gate.
// The dialogs run modeless here, driven by messages; Sorvel_User.exe itself runs for what only
// its start decides.
#include "ConfigWriter.h"
#include "DialogDriver.h"
#include "RecordingPresenter.h"
#include "Resource.h"
#include "TempDir.h"
#include "UpgradeStatus.h"
#include "Win32CallGate.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"
#include "Win32UpgradeFolder.h"
#include "Win32VersionsDlg.h"

#include <commctrl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using sorvel::test::FindBox;
using sorvel::test::PumpFor;
using sorvel::test::PumpUntil;
using sorvel::test::RecordingPresenter;
using sorvel::test::TempDir;
using sorvel::test::WindowText;

namespace {

enum class ConfigKind { None, StiOnly, Full };

// A folder with Ressources/Configuration.zkf of the given kind and the files it names.
class ConfigFolder {
public:
    explicit ConfigFolder(ConfigKind kind) {
        if (kind == ConfigKind::None)
            return;
        m_dir.Write("Ressources/sti.urt", std::string("STI upload file"));
        m_dir.Write("Ressources/cart1.urt", std::string("cartridge one"));
        m_dir.Write("Ressources/cart2.urt", std::string("cartridge two"));
        sorvel::ConfigContents contents;
        contents.stiPath = ".\\Ressources\\sti.urt";
        contents.softwareVersion = "Sw-1.3.9b";
        contents.hardwareVersion = "hw Rev C";
        contents.brevonVersion = "Brevon 4.2a";
        contents.pellumVersion = "pellum 7.0";
        contents.cartridgeType = "Ct-x2";
        if (kind == ConfigKind::Full) {
            contents.cartridge1Path = ".\\Ressources\\cart1.urt";
            contents.cartridge2Path = ".\\Ressources\\cart2.urt";
        }
        std::string error;
        if (!sorvel::WriteConfiguration(m_dir.Path(), contents, &error))
            ADD_FAILURE() << "cannot write the configuration: " << error;
    }
    ~ConfigFolder() {
        // A dialog that loaded the folder made it the working directory, which cannot be removed.
        std::error_code error;
        if (std::filesystem::equivalent(std::filesystem::current_path(error), m_dir.Path(), error))
            std::filesystem::current_path(m_dir.Path().parent_path(), error);
    }
    ConfigFolder(const ConfigFolder&) = delete;
    ConfigFolder& operator=(const ConfigFolder&) = delete;

    std::string Path() const { return m_dir.Path().string(); }

private:
    TempDir m_dir;
};

std::vector<std::string> ComboEntries(HWND hCombo) {
    std::vector<std::string> entries;
    const auto count = SendMessageA(hCombo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char text[256] = {};
        SendMessageA(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        entries.emplace_back(text);
    }
    return entries;
}

std::vector<std::string> NoPorts() {
    return {};
}

// The id of the dialog's control that has the focus (the port field for its edit part), or 0.
int FocusedControl(HWND hDlg) {
    HWND hFocus = GetFocus();
    while (hFocus != nullptr && GetParent(hFocus) != hDlg)
        hFocus = GetParent(hFocus);
    return hFocus != nullptr ? GetDlgCtrlID(hFocus) : 0;
}

// A key pressed and released on the focused control, as the dialog's message loop hands them to
// the dialog manager.
void PressKey(HWND hDlg, WPARAM key) {
    for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
        MSG msg{GetFocus(), message, key, 1, GetTickCount(), {}};
        if (!IsWindow(hDlg) || !IsDialogMessageA(hDlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// Runs Sorvel_User.exe in folder start, with dir on its command line unless empty; once its
// dialog shows, read(dialog) and "Exit". Returns whether the program ended; it is ended otherwise.
bool RunProgram(const std::string& start, const std::string& dir,
                const std::function<void(HWND)>& read) {
    std::string commandLine = "Z:" SORVEL_USER_EXE;
    std::replace(commandLine.begin(), commandLine.end(), '/', '\\');
    commandLine += dir.empty() ? "" : " \"" + dir + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        start.c_str(), &startup, &process))
        return false;
    HWND hDlg = nullptr;
    const auto shown = [&] {
        DWORD owner = 0;
        hDlg = FindWindowA("#32770", "Brevon Box Upgrade tool v1.3.9");
        GetWindowThreadProcessId(hDlg, &owner);
        return owner == process.dwProcessId && IsWindowVisible(hDlg);
    };
    if (PumpUntil(shown)) {
        read(hDlg);
        PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

class Win32DialogTest : public ::testing::Test {
protected:
    RecordingPresenter m_messages; // the process-wide box: the loader's messages
};

// What the user can press after each load, read from the real controls.
TEST_F(Win32DialogTest, EachLoadResultSetsTheControlsBeforeTheDialogShows) {
    const int allControls[] = {IDCANCEL,           IDC_PORT_COMBO, IDC_START_UPLOAD,
                               IDC_CANCEL_UPLOAD,  IDC_PROGRESS,   IDC_COMPLETE_UPDATE,
                               IDC_ONLY_CARTRIDGE, IDC_ONLY_STI,   IDC_VERSIONS};
    struct Case {
        ConfigKind kind;
        BYTE result;
        std::set<int> disabled; // nothing to cancel in any of them
        int checked;
        BYTE mode;
        std::size_t loaderMessages;
        int focus;
        std::string status;
    };
    const std::string ready = CUpgradeStatus::IdleText(CONFIG_FULL);
    const Case cases[] = {
        {ConfigKind::None,
         CONFIG_NONE,
         {IDC_START_UPLOAD, IDC_CANCEL_UPLOAD, IDC_VERSIONS},
         0,
         MODE_NONE,
         1,
         IDC_PORT_COMBO,
         CUpgradeStatus::IdleText(CONFIG_NONE)},
        {ConfigKind::StiOnly,
         CONFIG_STI_ONLY,
         {IDC_CANCEL_UPLOAD, IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE},
         IDC_ONLY_STI,
         MODE_STI_ONLY,
         0,
         IDC_START_UPLOAD,
         ready},
        {ConfigKind::Full,
         CONFIG_FULL,
         {IDC_CANCEL_UPLOAD},
         IDC_COMPLETE_UPDATE,
         MODE_COMPLETE,
         0,
         IDC_START_UPLOAD,
         ready},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        m_messages.Clear();
        ConfigFolder folder(c.kind);
        CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
        HWND hDlg = dlg.Create();
        ASSERT_NE(hDlg, nullptr) << "no dialog (error " << GetLastError() << ")";
        EXPECT_EQ(m_messages.Count(), c.loaderMessages);
        EXPECT_EQ(WindowText(hDlg), "Brevon Box Upgrade tool v1.3.9");
        EXPECT_EQ(dlg.m_nConfigResult, c.result);
        EXPECT_EQ(dlg.GetUpdateMode(), c.mode);
        for (int id : allControls) {
            HWND hControl = GetDlgItem(hDlg, id);
            ASSERT_NE(hControl, nullptr) << id;
            EXPECT_EQ(IsWindowEnabled(hControl) != FALSE, c.disabled.count(id) == 0) << id;
        }
        for (int radio : {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE, IDC_ONLY_STI})
            EXPECT_EQ(IsDlgButtonChecked(hDlg, radio) == BST_CHECKED, radio == c.checked) << radio;
        EXPECT_EQ(SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETPOS, 0, 0), 0);
        EXPECT_EQ(FocusedControl(hDlg), c.focus);
        EXPECT_EQ(dlg.StatusText(), c.status);
        // A text the line cuts shows whole as the tip.
        EXPECT_TRUE(dlg.StatusTip().empty() || dlg.StatusTip() == c.status) << dlg.StatusTip();

        // A click on a radio button selects its mode; "Exit" while idle ends the dialog and
        // releases the configuration.
        SendDlgItemMessageA(hDlg, IDC_ONLY_STI, BM_CLICK, 0, 0);
        EXPECT_EQ(dlg.GetUpdateMode(), MODE_STI_ONLY);
        SendDlgItemMessageA(hDlg, IDCANCEL, BM_CLICK, 0, 0);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(hDlg); }));
        EXPECT_EQ(dlg.m_ConfigInfo.pszStiFile, nullptr);
    }
}

TEST_F(Win32DialogTest, PortListAddsTheReportedPortsInNaturalOrderAndTakesTypedNames) {
    ConfigFolder folder(ConfigKind::Full);
    CWin32UpgradeDlg dlg(folder.Path(), [] {
        return std::vector<std::string>{"COM10", "COM3", "COM9", "COM1"};
    });
    HWND hDlg = dlg.Create();
    ASSERT_NE(hDlg, nullptr);
    HWND hCombo = GetDlgItem(hDlg, IDC_PORT_COMBO);
    EXPECT_EQ(ComboEntries(hCombo),
              (std::vector<std::string>{"COM1:", "COM2:", "COM3:", "COM4:", "COM9:", "COM10:"}));
    EXPECT_EQ(dlg.PortText(), "COM1:");
    // A typed name goes to the engine exactly as typed.
    SetWindowTextA(hCombo, " \\\\.\\COM12 x");
    EXPECT_EQ(dlg.PortText(), " \\\\.\\COM12 x");
    // Enter (IDOK) never ends the dialog.
    SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindow(hDlg));
    dlg.OnExit();
    EXPECT_FALSE(IsWindow(hDlg));
}

// Enter never ends the dialog, whatever has the focus: on "Exit" and on the other controls it does
// nothing, on "Start Upload" it presses that button. Space presses the focused button and Esc is
// "Exit": both end an idle dialog.
TEST_F(Win32DialogTest, EnterNeverEndsTheDialogWhileSpaceOnExitAndEscDo) {
    ConfigFolder folder(ConfigKind::Full);
    struct Case {
        int focus;
        WPARAM key;
        bool ends;
        const char* message; // the start of the one message shown, or null for none
    };
    const Case cases[] = {
        {IDCANCEL, VK_RETURN, false, nullptr},
        {IDC_PORT_COMBO, VK_RETURN, false, nullptr},
        {IDC_ONLY_CARTRIDGE, VK_RETURN, false, nullptr},
        // A port that this prefix does not have: Start Upload was pressed and says so.
        {IDC_START_UPLOAD, VK_RETURN, false, "Invalid COM port.\nPlease check connection."},
        {IDCANCEL, VK_SPACE, true, nullptr},
        {IDC_START_UPLOAD, VK_ESCAPE, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "control " << c.focus << ", key " << c.key);
        m_messages.Clear();
        CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
        HWND hDlg = dlg.Create();
        ASSERT_NE(hDlg, nullptr);
        SetDlgItemTextA(hDlg, IDC_PORT_COMBO, "COM250");
        SendMessageA(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, c.focus)),
                     TRUE);
        ASSERT_EQ(FocusedControl(hDlg), c.focus);
        PressKey(hDlg, c.key);
        PumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(IsWindow(hDlg) == FALSE, c.ends);
        const auto texts = m_messages.Texts();
        ASSERT_EQ(texts.size(), c.message != nullptr ? 1u : 0u);
        if (c.message != nullptr) {
            EXPECT_EQ(texts[0].rfind(c.message, 0), 0u) << texts[0];
        }
        if (IsWindow(hDlg))
            dlg.OnExit();
    }
}

// The upgrade folder: the one the dialog is given, else the chooser's until one loads or the user
// cancels; "Open upgrade folder ..." switches only to a folder that loads. The folder that loaded
// is kept in the registry, where Sorvel_User.exe finds it next time unless a folder is named on
// its command line.
TEST_F(Win32DialogTest, TheUpgradeFolderComesFromTheCommandLineTheStartTheRegistryOrTheChooser) {
    enum Kind { None, Empty, Full, Sti };
    std::map<Kind, std::unique_ptr<ConfigFolder>> folders;
    folders[Empty] = std::make_unique<ConfigFolder>(ConfigKind::None);
    folders[Full] = std::make_unique<ConfigFolder>(ConfigKind::Full);
    folders[Sti] = std::make_unique<ConfigFolder>(ConfigKind::StiOnly);
    const auto path = [&](Kind kind) {
        return kind == None ? std::string() : folders[kind]->Path();
    };
    // A folder kept from last time is read by the program's start: those cases run the program.
    struct Case {
        const char* what;
        Kind start; // the folder given to the dialog, or the program's working directory
        Kind dir;   // the program's command line
        Kind kept;  // in the registry before
        bool menu;  // then "Open upgrade folder ..."
        std::vector<Kind> answers; // the chooser's, in order (None: cancelled)
        Kind loaded;
    };
    const Case cases[] = {
        {"no upgrade at the start: the chooser's loads", Empty, None, None, false, {Full}, Full},
        {"no upgrade at the start, chooser cancelled", Empty, None, None, false, {None}, None},
        {"menu: a folder without one keeps it", Full, None, None, true, {Empty, None}, Full},
        {"menu: a folder that loads replaces it", Full, None, None, true, {Sti}, Sti},
        {"the program loads the folder kept last time", Empty, None, Sti, false, {}, Sti},
        {"the program's command line wins over the folder kept", Empty, Full, Sti, false, {}, Full},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_messages.Clear();
        RegDeleteKeyValueA(HKEY_CURRENT_USER, sorvel::kSettingsKey, sorvel::kUpgradeFolderValue);
        if (c.kept != None)
            sorvel::RememberUpgradeFolder(path(c.kept));
        const BYTE expected = c.loaded == Full  ? CONFIG_FULL
                              : c.loaded == Sti ? CONFIG_STI_ONLY
                                                : CONFIG_NONE;
        const bool program = c.kept != None;
        if (program) {
            EXPECT_TRUE(RunProgram(path(c.start), path(c.dir), [&](HWND hDlg) {
                EXPECT_EQ(IsWindowEnabled(GetDlgItem(hDlg, IDC_COMPLETE_UPDATE)) != FALSE,
                          expected == CONFIG_FULL);
            }));
        } else {
            std::vector<std::string> asked;
            std::size_t next = 0;
            CWin32UpgradeDlg dlg(path(c.start), NoPorts);
            dlg.SetFolderServices(
                [&](HWND, const std::string& from) {
                    asked.push_back(from);
                    return next < c.answers.size() ? path(c.answers[next++]) : std::string();
                },
                &sorvel::RememberUpgradeFolder);
            HWND hDlg = dlg.Create();
            ASSERT_NE(hDlg, nullptr);
            if (c.menu) {
                EXPECT_TRUE(dlg.OnSysCommand(IDM_OPENFOLDER));
            }
            EXPECT_EQ(asked.size(), c.answers.size());
            EXPECT_EQ(dlg.m_nConfigResult, expected);
            EXPECT_EQ(dlg.UpgradeFolder(), path(c.loaded));
            EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_ONLY_STI) == BST_CHECKED,
                      expected == CONFIG_STI_ONLY);
            if (c.loaded != None) {
                std::error_code error;
                EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(),
                                                        path(c.loaded), error));
            }
            dlg.OnExit();
        }
        // The loader's message for each folder without an upgrade that this process loaded.
        const auto empties = std::count(c.answers.begin(), c.answers.end(), Empty);
        EXPECT_EQ(m_messages.Count(), program ? 0u : empties + (c.start == Empty ? 1u : 0u));
        for (const std::string& text : m_messages.Texts())
            EXPECT_EQ(text.rfind("Error 0x3c00 : Configuration File not found !", 0), 0u) << text;
        EXPECT_EQ(sorvel::RememberedUpgradeFolder(), path(c.loaded != None ? c.loaded : c.kept));
    }
    RegDeleteKeyValueA(HKEY_CURRENT_USER, sorvel::kSettingsKey, sorvel::kUpgradeFolderValue);
    std::error_code error;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), error);
}

TEST_F(Win32DialogTest, TheFolderAndAboutEntriesEndTheWindowMenuAfterASeparator) {
    ConfigFolder folder(ConfigKind::Full);
    CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
    HWND hDlg = dlg.Create();
    ASSERT_NE(hDlg, nullptr);
    HMENU hMenu = GetSystemMenu(hDlg, FALSE);
    ASSERT_NE(hMenu, nullptr);
    const int count = GetMenuItemCount(hMenu);
    ASSERT_GE(count, 3);
    EXPECT_EQ(GetMenuItemID(hMenu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    char text[64] = {};
    GetMenuStringA(hMenu, count - 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Sorvel_User...");
    GetMenuStringA(hMenu, IDM_OPENFOLDER, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "Open upgrade folder ...");
    EXPECT_EQ(GetMenuItemID(hMenu, count - 2), static_cast<UINT>(IDM_OPENFOLDER));
    EXPECT_TRUE(GetMenuState(hMenu, count - 3, MF_BYPOSITION) & MF_SEPARATOR);
    // Other commands are left to the system.
    EXPECT_FALSE(dlg.OnSysCommand(SC_MOVE));
    dlg.OnExit();
}

// The fields keep their widths: a text too long for its field shows whole as its tooltip, as the
// field shows it (upper case); a text that fits has none.
TEST_F(Win32DialogTest, VersionFieldsShowTheTextsOfTheLoadInUpperCaseAndWholeAsTooltips) {
    ConfigFolder folder(ConfigKind::Full);
    CONFIG_INFO info;
    const BYTE loaded = CConfigFile(folder.Path()).Load(&info);
    ASSERT_EQ(loaded, CONFIG_FULL);
    std::string longHardware = "hw rev C, second board of the 2026 series";
    CONFIG_INFO longInfo = info; // the loaded record's texts but one; released with info
    longInfo.pszHardwareVersion = longHardware.data();
    struct Case {
        const CONFIG_INFO* info;
        BYTE result;
        const char* hardware;
        const char* pellum;
    };
    const Case cases[] = {
        {&info, CONFIG_FULL, "HW REV C", "PELLUM 7.0"},
        {&info, CONFIG_STI_ONLY, "HW REV C", ""},
        {&longInfo, CONFIG_FULL, "HW REV C, SECOND BOARD OF THE 2026 SERIES", "PELLUM 7.0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hardware);
        CWin32VersionsDlg versions;
        versions.SetConfigInfo(*c.info, c.result);
        HWND hDlg = versions.Create(nullptr);
        ASSERT_NE(hDlg, nullptr);
        EXPECT_EQ(WindowText(hDlg), "Brevon Upgrade Tool - Version Infos");
        const std::pair<int, std::string> shown[] = {{IDC_SOFTWARE_VERSION, "SW-1.3.9B"},
                                                     {IDC_HARDWARE_VERSION, c.hardware},
                                                     {IDC_BREVON_VERSION, "BREVON 4.2A"},
                                                     {IDC_PELLUM_VERSION, c.pellum},
                                                     {IDC_CARTRIDGE_TYPE, "CT-X2"}};
        for (const auto& [id, text] : shown) {
            HWND hEdit = GetDlgItem(hDlg, id);
            EXPECT_EQ(WindowText(hEdit), text) << id;
            EXPECT_TRUE(GetWindowLongA(hEdit, GWL_STYLE) & ES_READONLY) << id;
            const bool cut = text.size() > 20;
            EXPECT_EQ(versions.Tips().TipText(hEdit), cut ? text : std::string()) << id;
        }
        EXPECT_EQ(WindowText(GetDlgItem(hDlg, IDC_SOFTWARE_LABEL)), "Software version ");
        SendDlgItemMessageA(hDlg, IDOK, BM_CLICK, 0, 0);
        EXPECT_FALSE(IsWindow(hDlg));
    }
    ReleaseConfigStrings(&info);
}

// A stage prompt runs beside the dialog: the dialog stays enabled; the user's answer arrives
// once; a prompt closed by the program vanishes without an answer, shown or not yet shown.
TEST_F(Win32DialogTest, StagePromptsLeaveTheDialogUsableAndCloseWithoutAnAnswer) {
    ConfigFolder folder(ConfigKind::Full);
    CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
    HWND hDlg = dlg.Create();
    ASSERT_NE(hDlg, nullptr);
    CWin32MessagePresenter presenter;
    presenter.SetOwner(hDlg);
    const sorvel::MessageRequest request{"Stage prompt", "prompt test",
                                         MB_SYSTEMMODAL | MB_OKCANCEL};

    std::atomic<int> answers{0};
    std::atomic<int> lastAnswer{0};
    auto onAnswer = [&](int answer) {
        lastAnswer = answer;
        ++answers;
    };
    auto id = presenter.OpenPrompt(request, onAnswer);
    ASSERT_TRUE(PumpUntil([] { return FindBox("prompt test") != nullptr; }));
    EXPECT_TRUE(presenter.IsPromptOpen(id));
    EXPECT_TRUE(IsWindowEnabled(hDlg));
    HWND hBox = FindBox("prompt test");
    EXPECT_TRUE(GetWindowLongA(hBox, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(hBox, GW_OWNER), nullptr);
    PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(PumpUntil([&] { return answers == 1; }));
    EXPECT_EQ(lastAnswer, IDOK);
    EXPECT_FALSE(presenter.IsPromptOpen(id));

    // Closed by the program, once shown and right after opening.
    for (bool waitForBox : {true, false}) {
        id = presenter.OpenPrompt(request, onAnswer);
        if (waitForBox) {
            ASSERT_TRUE(PumpUntil([] { return FindBox("prompt test") != nullptr; }));
        }
        presenter.ClosePrompt(id);
        EXPECT_FALSE(presenter.IsPromptOpen(id));
        EXPECT_TRUE(PumpUntil([] { return FindBox("prompt test") == nullptr; }));
    }
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(answers, 1);
    dlg.OnExit();
}

TEST_F(Win32DialogTest, TheCallGateRunsPostsInOrderOnTheDialogsThreadUntilClosed) {
    ConfigFolder folder(ConfigKind::Full);
    CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
    HWND hDlg = dlg.Create();
    ASSERT_NE(hDlg, nullptr);
    auto gate = std::make_shared<CWin32CallGate>();
    EXPECT_FALSE(gate->Post([] {})) << "closed until opened";
    // The gate rings the dialog procedure, which runs the calls it finds queued.
    gate->Open(hDlg);
    std::vector<int> order;
    std::atomic<DWORD> ranOn{0};
    std::thread([&] {
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(gate->Post([&order, &ranOn, i] {
                order.push_back(i);
                ranOn = GetCurrentThreadId();
            }));
    }).join();
    // The dialog's gate is not this one; its doorbell message runs only the dialog's own.
    EXPECT_TRUE(PumpUntil([&] {
        gate->RunQueued();
        return order.size() == 3;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ranOn.load(), GetCurrentThreadId());
    gate->Post([&order] { order.push_back(99); });
    gate->Close();
    gate->RunQueued();
    EXPECT_FALSE(gate->Post([&order] { order.push_back(100); }));
    EXPECT_EQ(order.size(), 3u);
    dlg.OnExit();
}

} // namespace
