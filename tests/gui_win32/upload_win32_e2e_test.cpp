// "Start Upload" and "Cancel Upload" of the Win32 dialog against simulated boxes on the build
// machine: a complete update through both stage prompts to the final 'Good' message, and an upload
// cancelled halfway after which "Start Upload" works again.
//
// The boxes (boxes.sh, started and stopped by ctest around these tests) serve the upload files of
// one upgrade folder on pseudo-terminals linked as COM ports of this program's Wine prefix; the
// folder's "ports" file names them. The dialog runs modeless on this thread as Sorvel_User runs
// it (the process-wide presenter shows real message boxes, the working directory is the upgrade
// folder), driven by messages; the boxes' logs, read as they grow, say what reached them.
#include "ConfigWriter.h"
#include "DialogDriver.h"
#include "Program.h"
#include "Resource.h"
#include "UpgradeDlgLogic.h"
#include "UpgradeRecord.h"
#include "Win32MessagePresenter.h"
#include "Win32UpgradeDlg.h"

#include <commctrl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;

// What the user reads: the stage prompts, the final message, the button handlers' messages.
constexpr const char* kRebootPrompt =
    "Please wait for the Set Top Box reboots and then click on OK";
constexpr const char* kFilePrompt =
    "Please wait for the front panel displays 'FILE'\nand click on OK";
constexpr const char* kGoodMessage = "Your Brevon Box was updated. Please wait for the\nfront "
                                     "panel displays 'Good' before switching off";
constexpr const char* kReallyStop = "Do you really want to stop upload ?.";
constexpr const char* kStoppedRestart = "Upload stopped.\nPlease restart device and click OK.";
constexpr const char* kInProgress = "Upload in progress.\nPlease stop operation first.";

// The upgrade folder of the boxes as this program names it: the build machine's root is Z:.
std::string BoxFolder() {
    std::string path = "Z:" SORVEL_APP_WIN32_BOX_DIR;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The boxes' COM names by box ("fast", "slow"); empty while no box runs.
std::map<std::string, std::string> ReadPorts() {
    std::map<std::string, std::string> ports;
    for (const std::string& line : ReadLines(BoxFolder() + "\\ports")) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            ports[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return ports;
}

// What a box has printed so far; it writes each line as it happens.
class BoxLog {
public:
    explicit BoxLog(const std::string& box) : m_path(BoxFolder() + "\\" + box + ".log") {}

    // The lines that contain part.
    std::size_t Count(const std::string& part) const {
        const auto lines = ReadLines(m_path);
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(part) != std::string::npos;
            }));
    }
    // Records received in all (a verbose box prints "record K/N ok" for each).
    std::size_t Records() const { return Count(" ok ("); }
    // The last lines, for a failure's message.
    std::string Tail() const {
        const auto lines = ReadLines(m_path);
        std::string tail;
        for (auto it = lines.size() > 8 ? lines.end() - 8 : lines.begin(); it != lines.end(); ++it)
            tail += "\n  " + *it;
        return tail;
    }

private:
    std::string m_path;
};

// The box's button for "no": Cancel, else No, else OK.
int NegativeButton(HWND hBox) {
    for (int button : {IDCANCEL, IDNO}) {
        if (GetDlgItem(hBox, button) != nullptr)
            return button;
    }
    return IDOK;
}

int Progress(HWND hDlg) {
    return static_cast<int>(SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

// The user, on a thread of its own, for the boxes that the button handlers show: they are modal
// on the dialog's thread, which stays inside the click until they are answered. Each box of the
// dialog's thread is answered as it shows with the next button given; once those are used up,
// with its negative button, so that an unexpected box cannot hold the test.
class User {
public:
    User(HWND hDlg, std::vector<int> buttons)
        : m_hDlg(hDlg), m_buttons(std::move(buttons)), m_thread([this] { Run(); }) {}
    ~User() { Answered(); }
    User(const User&) = delete;
    User& operator=(const User&) = delete;

    // Stops answering; the texts of the boxes answered, in order.
    std::vector<std::string> Answered() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_texts;
    }

private:
    void Run() {
        const DWORD dialogThread = GetWindowThreadProcessId(m_hDlg, nullptr);
        std::size_t next = 0;
        while (!m_stop) {
            HWND hBox = FindBoxOf(dialogThread);
            if (hBox == nullptr) {
                Sleep(5);
                continue;
            }
            m_texts.push_back(BoxText(hBox));
            int button = next < m_buttons.size() ? m_buttons[next++] : 0;
            if (button == 0 || GetDlgItem(hBox, button) == nullptr) {
                m_texts.back() += button == 0 ? " [not expected]" : " [no such button]";
                button = NegativeButton(hBox);
            }
            AnswerBox(hBox, button);
            for (int i = 0; i < 1000 && IsWindow(hBox) && IsWindowVisible(hBox); ++i)
                Sleep(5);
        }
    }
    // A shown dialog box of the thread other than the main dialog.
    HWND FindBoxOf(DWORD thread) const {
        std::pair<HWND, HWND> search{m_hDlg, nullptr};
        EnumThreadWindows(
            thread,
            [](HWND hWnd, LPARAM lParam) -> BOOL {
                auto& s = *reinterpret_cast<std::pair<HWND, HWND>*>(lParam);
                char className[16] = {};
                GetClassNameA(hWnd, className, sizeof className);
                if (hWnd != s.first && std::string(className) == "#32770" &&
                    IsWindowVisible(hWnd)) {
                    s.second = hWnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.second;
    }

    const HWND m_hDlg;
    const std::vector<int> m_buttons;
    std::vector<std::string> m_texts; // the thread's until joined
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A button of the dialog clicked; the boxes it shows answered in order, their texts returned.
std::vector<std::string> ClickAnswering(HWND hDlg, int id, std::vector<int> answers) {
    User user(hDlg, std::move(answers));
    SendDlgItemMessageA(hDlg, id, BM_CLICK, 0, 0);
    return user.Answered();
}

class Win32UploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ports = ReadPorts();
        if (m_ports.empty())
            GTEST_SKIP() << "no box runs: ctest starts them (boxes.sh) around these tests";
        // The configuration of a complete update, next to the upload files of the boxes.
        sorvel::ConfigContents contents;
        contents.stiPath = ".\\Ressources\\Sti.urt";
        contents.cartridge1Path = ".\\Ressources\\Cart1.urt";
        contents.cartridge2Path = ".\\Ressources\\Cart2.urt";
        contents.softwareVersion = "SW-2.0";
        contents.hardwareVersion = "HW-B";
        contents.brevonVersion = "BREVON 5";
        contents.pellumVersion = "PELLUM 8";
        contents.cartridgeType = "CT-1";
        std::string error;
        ASSERT_TRUE(sorvel::WriteConfiguration(BoxFolder(), contents, &error)) << error;
        // The engine opens the configuration's upload paths from the working directory, which is
        // Sorvel_User's folder.
        char previous[MAX_PATH] = {};
        GetCurrentDirectoryA(MAX_PATH, previous);
        m_previousDirectory = previous;
        ASSERT_TRUE(SetCurrentDirectoryA(BoxFolder().c_str()));
        m_presenter.Install();
    }
    void TearDown() override {
        if (!m_previousDirectory.empty())
            SetCurrentDirectoryA(m_previousDirectory.c_str());
    }

    // The dialog on the upgrade folder with the port typed in; "COM1:" (this machine's console
    // port) must never be what "Start Upload" opens.
    HWND CreateDialogOnPort(CWin32UpgradeDlg& dlg, const std::string& port) {
        dlg.SetPresenter(&m_presenter);
        HWND hDlg = dlg.Create();
        if (hDlg == nullptr)
            return nullptr;
        SetWindowTextA(GetDlgItem(hDlg, IDC_PORT_COMBO), port.c_str());
        if (dlg.PortText() != port || dlg.m_nConfigResult != CONFIG_FULL ||
            dlg.GetUpdateMode() != MODE_COMPLETE) {
            ADD_FAILURE() << "port '" << dlg.PortText() << "', load result "
                          << int(dlg.m_nConfigResult);
            DestroyWindow(hDlg);
            return nullptr;
        }
        return hDlg;
    }

    std::map<std::string, std::string> m_ports;
    CWin32MessagePresenter m_presenter; // outlives the dialogs of the tests
    std::string m_previousDirectory;
};

// A complete update: each file whole at the box, then its stage prompt, answered OK, starts the
// next; the last ends in the 'Good' message, after which the dialog is idle and ends on "Exit".
// At each point the status line says where the update is, and only the controls that can act are
// enabled: while the sequence runs, nothing that would change it but "Cancel Upload".
TEST_F(Win32UploadTest, CompleteUpdateGoesThroughBothStagePromptsToGoodWithEveryFileIntact) {
    const BoxLog box("fast");
    const char* files[] = {"Ressources/Sti.urt", "Ressources/Cart1.urt", "Ressources/Cart2.urt"};
    std::map<std::string, std::size_t> wholeBefore;
    for (const char* file : files)
        wholeBefore[file] = box.Count(std::string("file complete: ") + file);
    const std::size_t roundsBefore = box.Count(" complete: the files are expected again");
    const std::size_t errorsBefore = box.Count("differ");

    // The dialog records the update, here into a file of the test's own.
    const std::string record = BoxFolder() + "\\upgrades.jsonl";
    std::remove(record.c_str());
    ASSERT_EQ(_putenv_s("SORVEL_RECORD", record.c_str()), 0);
    CWin32UpgradeDlg dlg(BoxFolder(), [] { return std::vector<std::string>{}; });
    HWND hDlg = CreateDialogOnPort(dlg, m_ports["fast"]);
    _putenv_s("SORVEL_RECORD", ""); // removes it
    ASSERT_NE(hDlg, nullptr);
    const std::string caption = sorvel::ApplicationTitle();
    HWND hPrompt = nullptr;
    // The stage prompt with text shows once the box has file whole; it is beside the dialog,
    // which stays usable, and the bar waits at 0.
    const auto prompt = [&](const char* file, const char* text) {
        return [&, file, text] {
            ASSERT_TRUE(PumpUntil(
                [&] { return (hPrompt = FindBoxWithText(caption, text)) != nullptr; }, 20s))
                << "the box printed:" << box.Tail();
            EXPECT_TRUE(PumpUntil([&] {
                return box.Count(std::string("file complete: ") + file) == wholeBefore[file] + 1;
            })) << box.Tail();
            EXPECT_TRUE(IsWindowEnabled(hDlg));
            EXPECT_TRUE(GetWindowLongA(hPrompt, GWL_EXSTYLE) & WS_EX_TOPMOST);
            EXPECT_EQ(Progress(hDlg), 0);
        };
    };
    // OK to the prompt; the status line goes on to status.
    const auto answer = [&](const char* status) {
        return [&, status] {
            AnswerBox(hPrompt, IDOK);
            EXPECT_TRUE(PumpUntil(
                [&] { return !IsWindow(hPrompt) && dlg.StatusText().rfind(status, 0) == 0; }));
        };
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        const char* status; // the start of the status line after act
        bool runs;          // the sequence runs: the controls that would change it are disabled
    };
    const Step steps[] = {
        {"idle", [] {}, "Ready: press Start Upload.", false},
        {"Start Upload", [&] { SendDlgItemMessageA(hDlg, IDC_START_UPLOAD, BM_CLICK, 0, 0); },
         "File 1 of 3: Sti.urt: waiting for the box to answer", true},
        {"the reboot prompt", prompt(files[0], kRebootPrompt),
         "File 1 of 3: Sti.urt sent. Answer the message to go on.", true},
        {"OK: the second file", answer("File 2 of 3: Cart1.urt"), "File 2 of 3: Cart1.urt", true},
        {"the 'FILE' prompt", prompt(files[1], kFilePrompt),
         "File 2 of 3: Cart1.urt sent. Answer the message to go on.", true},
        {"OK: the third file, then 'Good'",
         [&] {
             answer("File 3 of 3: Cart2.urt")();
             prompt(files[2], kGoodMessage)();
         },
         "Updated: The box received Sti.urt, Cart1.urt and Cart2.urt.", false},
    };
    const std::set<int> runningDisabled = {IDC_PORT_COMBO, IDC_START_UPLOAD, IDC_COMPLETE_UPDATE,
                                           IDC_ONLY_CARTRIDGE, IDC_ONLY_STI};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        if (HasFatalFailure())
            return;
        EXPECT_EQ(dlg.StatusText().rfind(step.status, 0), 0u) << dlg.StatusText();
        for (int id : CUpgradeDlgLogic::kControls) {
            const bool disabled =
                step.runs ? runningDisabled.count(id) != 0 : id == IDC_CANCEL_UPLOAD;
            EXPECT_EQ(IsWindowEnabled(GetDlgItem(hDlg, id)) == FALSE, disabled) << id;
        }
        EXPECT_EQ((GetMenuState(GetSystemMenu(hDlg, FALSE), IDM_OPENFOLDER, MF_BYCOMMAND) &
                   MF_GRAYED) != 0,
                  step.runs);
    }
    // Once the dialog is active again the keyboard reaches "Start Upload", not the disabled
    // "Cancel Upload" that had the focus.
    AnswerBox(hPrompt, IDOK);
    EXPECT_TRUE(PumpUntil([&] {
        return GetActiveWindow() == hDlg && GetFocus() == GetDlgItem(hDlg, IDC_START_UPLOAD);
    }));
    EXPECT_TRUE(dlg.Sequencer().SequenceCompleted());
    EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
    EXPECT_EQ(box.Count(" complete: the files are expected again"), roundsBefore + 1);
    EXPECT_EQ(box.Count("differ"), errorsBefore) << box.Tail();
    EXPECT_EQ(ClickAnswering(hDlg, IDCANCEL, {}), std::vector<std::string>{});
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(hDlg); }));

    std::ifstream in(record);
    std::string line, more;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_FALSE(std::getline(in, more)) << more;
    sorvel::record::UpgradeAttempt r;
    std::string error;
    ASSERT_TRUE(sorvel::record::FromJson(nlohmann::json::parse(line, nullptr, false), &r, &error))
        << error;
    EXPECT_EQ(r.outcome, "updated");
    EXPECT_EQ(r.port, m_ports["fast"]);
    EXPECT_EQ(r.program, sorvel::ApplicationTitle());
    EXPECT_EQ(r.config.software, "SW-2.0");
    ASSERT_EQ(r.files.size(), 3u);
    for (const auto& file : r.files)
        EXPECT_TRUE(file.delivered && file.records > 0 && file.size > 0) << file.path;
}

// On a slow line: what each click does halfway through an upload. "Exit" and "No" to the
// question leave it running; "Yes" stops it for good at the box, which never gets the file
// whole, and the dialog is ready again: "Start Upload" starts the file anew.
TEST_F(Win32UploadTest, CancelUploadStopsTheUploadHalfwayAndStartUploadWorksAgain) {
    const BoxLog box("slow"); // 40 records of the STI file, about 0.27 s each
    const std::size_t restartsBefore = box.Count("starts again");
    CWin32UpgradeDlg dlg(BoxFolder(), [] { return std::vector<std::string>{}; });
    HWND hDlg = CreateDialogOnPort(dlg, m_ports["slow"]);
    ASSERT_NE(hDlg, nullptr);

    struct Before {
        int progress;
        std::size_t records;
    } before{};
    // The upload goes on: the bar and the box's records move on past where they were.
    const auto runs = [&] {
        const bool movedOn = PumpUntil(
            [&] { return Progress(hDlg) > before.progress && box.Records() > before.records; });
        EXPECT_TRUE(movedOn) << "progress " << Progress(hDlg) << ", the box printed:" << box.Tail();
        EXPECT_EQ(g_nUploadState.load(), STATE_UPLOADING);
    };
    // The upload stopped: the bar is back at 0, and once a record already sent has been read,
    // nothing more reaches the box for three records' time.
    const auto stopped = [&] {
        EXPECT_EQ(Progress(hDlg), 0);
        EXPECT_EQ(g_nUploadState.load(), STATE_IDLE);
        PumpFor(200ms);
        const std::size_t records = box.Records();
        PumpFor(800ms);
        EXPECT_EQ(box.Records(), records) << box.Tail();
        EXPECT_EQ(box.Count("file complete"), 0u) << box.Tail();
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_START_UPLOAD)));
    };
    // A new upload of the file: the box was asked to start it again.
    const auto runsAnew = [&] {
        runs();
        EXPECT_EQ(box.Count("starts again"), restartsBefore + 1) << box.Tail();
    };
    const auto ends = [&] { EXPECT_TRUE(PumpUntil([&] { return !IsWindow(hDlg); })); };
    const std::vector<std::string> stopBoxes = {kReallyStop, kStoppedRestart};
    struct Step {
        const char* what;
        int button;
        std::vector<int> answers;       // to the boxes the click shows
        std::vector<std::string> boxes; // their texts
        std::function<void()> then;
    };
    const Step steps[] = {
        {"start", IDC_START_UPLOAD, {}, {}, runs},
        {"exit while uploading", IDCANCEL, {IDOK}, {kInProgress}, runs},
        {"cancel, no", IDC_CANCEL_UPLOAD, {IDNO}, {kReallyStop}, runs},
        {"cancel, yes", IDC_CANCEL_UPLOAD, {IDYES, IDOK}, stopBoxes, stopped},
        {"start again", IDC_START_UPLOAD, {}, {}, runsAnew},
        {"cancel again, yes", IDC_CANCEL_UPLOAD, {IDYES, IDOK}, stopBoxes, stopped},
        {"exit", IDCANCEL, {}, {}, ends},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        before = {Progress(hDlg), box.Records()};
        // Each box's text starts with the one expected; lines below it say more.
        const std::vector<std::string> shown = ClickAnswering(hDlg, step.button, step.answers);
        EXPECT_EQ(shown.size(), step.boxes.size());
        for (std::size_t i = 0; i < std::min(shown.size(), step.boxes.size()); ++i)
            EXPECT_EQ(shown[i].rfind(step.boxes[i], 0), 0u) << shown[i];
        step.then();
        if (HasFailure())
            return; // the later steps would only fail after it
    }
}

} // namespace
