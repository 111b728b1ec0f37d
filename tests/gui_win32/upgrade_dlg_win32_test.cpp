// The Win32 views: what the controls show and allow after each kind of load, the port list,
// the window menu's About entry, the version dialog's fields, stage prompts that leave the
// dialog usable, and the call gate. The dialogs run modeless here, driven by messages.
#include "ConfigWriter.h"
#include "DialogDriver.h"
#include "RecordingPresenter.h"
#include "Resource.h"
#include "TempDir.h"
#include "Win32CallGate.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"
#include "Win32VersionsDlg.h"

#include <commctrl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
        std::set<int> disabled;
        int checked;
        BYTE mode;
        std::size_t loaderMessages;
    };
    const Case cases[] = {
        {ConfigKind::None,
         CONFIG_NONE,
         {IDC_START_UPLOAD, IDC_CANCEL_UPLOAD, IDC_VERSIONS},
         0,
         MODE_NONE,
         1},
        {ConfigKind::StiOnly,
         CONFIG_STI_ONLY,
         {IDC_COMPLETE_UPDATE, IDC_ONLY_CARTRIDGE},
         IDC_ONLY_STI,
         MODE_STI_ONLY,
         0},
        {ConfigKind::Full, CONFIG_FULL, {}, IDC_COMPLETE_UPDATE, MODE_COMPLETE, 0},
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

TEST_F(Win32DialogTest, TheAboutEntryIsLastInTheWindowMenuAfterASeparator) {
    ConfigFolder folder(ConfigKind::Full);
    CWin32UpgradeDlg dlg(folder.Path(), NoPorts);
    HWND hDlg = dlg.Create();
    ASSERT_NE(hDlg, nullptr);
    HMENU hMenu = GetSystemMenu(hDlg, FALSE);
    ASSERT_NE(hMenu, nullptr);
    const int count = GetMenuItemCount(hMenu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuItemID(hMenu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    char text[64] = {};
    GetMenuStringA(hMenu, count - 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Sorvel_User...");
    EXPECT_TRUE(GetMenuState(hMenu, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
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
