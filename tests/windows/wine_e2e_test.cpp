// The Windows programs end to end: sorvel-config.exe and sorvel-cli.exe (with Tarvik_Dll.dll and
// its serial channel on Win32) run under Wine against the box simulator on this machine. The
// simulator's pseudo-terminal is linked as a high COM port of the build's Wine prefix, so the
// programs open it as a Windows user would ("COM1xx"), through the system's serial API.
//
// Built for the build machine by the Windows build (SORVEL_HOST_TOOLS); its environment names
// the programs: SORVEL_WINE_RUN (scripts/wine-run), SORVEL_WINDOWS_BIN (the .exe folder) and
// SORVEL_WINEPREFIX.
#include "ChildProcess.h"
#include "SimulatedUpgrade.h"
#include "StationClient.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;
using Options = sorvel::boxsim::Options;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A Windows program run under Wine in the upgrade folder.
struct WindowsProgram : ChildProcess {
    WindowsProgram(const std::string& exe, std::vector<std::string> args, const TempDir& dir)
        : ChildProcess(Env("SORVEL_WINE_RUN"), Prepend(exe, std::move(args)), {},
                       dir.Path().string()) {}
    static std::vector<std::string> Prepend(const std::string& exe, std::vector<std::string> args) {
        args.insert(args.begin(), Env("SORVEL_WINDOWS_BIN") + "/" + exe);
        return args;
    }
    // Waits for the end; the output with the line ends of Windows ("\r\n") made "\n".
    int Finish(std::chrono::seconds timeout = 60s) {
        const int status = Wait(timeout);
        std::erase(out, '\r');
        std::erase(err, '\r');
        return status;
    }
};

// COM<n> of the Wine prefix reaching the simulator's pseudo-terminal while it lives. The number
// is the process's own, so that tests run at once never share one; never COM1, which the
// prefix maps to this machine's console port.
class ComLink {
public:
    // offset: another port of the same process.
    explicit ComLink(const std::string& target, unsigned offset = 0)
        : m_number(100 + (static_cast<unsigned>(::getpid()) + offset * 7) % 150),
          m_link(std::filesystem::path(Env("SORVEL_WINEPREFIX")) / "dosdevices" /
                 ("com" + std::to_string(m_number))) {
        std::error_code ignored;
        std::filesystem::remove(m_link, ignored);
        std::filesystem::create_symlink(target, m_link);
    }
    ~ComLink() {
        std::error_code ignored;
        std::filesystem::remove(m_link, ignored);
    }
    std::string Name() const { return "COM" + std::to_string(m_number); }

private:
    unsigned m_number;
    std::filesystem::path m_link;
};

class WineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Env("SORVEL_WINE_RUN").empty() || Env("SORVEL_WINDOWS_BIN").empty() ||
            Env("SORVEL_WINEPREFIX").empty())
            GTEST_SKIP() << "run by ctest of the Windows build, which names its programs";
    }

    // Upload files of `records` records and a configuration that sorvel-config.exe makes from
    // them with the paths written the Windows way, then verifies.
    void MakeUpgrade(std::size_t records) {
        UpgradeFolder folder({records, 300}, {records, 500}, {3, 200});
        folder.Write(dir);
        WindowsProgram make("sorvel-config.exe",
                            {"make", "-o", "Ressources\\Configuration.zkf", "--sti",
                             ".\\Ressources\\sti.urt", "--cartridge1", ".\\Ressources\\cart1.urt",
                             "--cartridge2", ".\\Ressources\\cart2.urt"},
                            dir);
        ASSERT_EQ(make.Finish(), 0) << make.err;
        WindowsProgram verify("sorvel-config.exe", {"verify", "."}, dir);
        ASSERT_EQ(verify.Finish(), 0) << verify.err;
        ASSERT_NE(verify.out.find("result: CONFIG_FULL"), std::string::npos) << verify.out;
    }
    std::string FilePath(const char* name) { return (dir.Path() / "Ressources" / name).string(); }

    TempDir dir;
};

// Every way an upload ends, as the technician on Windows meets it: the text of the last message,
// the exit status, what the box holds, and how long it took (a silent box: the engine's 15 s).
TEST_F(WineTest, UploadsEndInTruthAndInTime) {
    struct Case {
        const char* name;
        const char* mode;
        std::function<void(Options&)> fault;
        int status;
        std::size_t intact;
        std::string lastMessage;
        std::chrono::seconds within;
    };
    const std::string kStopped = kTimeout + "\n";
    const std::vector<Case> cases = {
        {"complete update", "complete", nullptr, 0, 3, kGood, 30s},
        {"records NAKed, the last ones included", "complete",
         [](Options& o) {
             o.nakEvery = 3;
             o.nakLast = Options::NakLast::Once;
         },
         0, 3, kGood, 30s},
        {"box stops asking", "sti", [](Options& o) { o.stopAfter = 3; }, 1, 0,
         kStopped + "the box stopped asking for records", 25s},
        {"box hangs up mid-file", "sti", [](Options& o) { o.hangUpAfter = 3; }, 1, 0,
         kStopped + "the port was disconnected", 10s},
    };
    MakeUpgrade(8);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options;
        if (c.fault)
            c.fault(options);
        std::vector<std::string> files{FilePath("sti.urt")};
        if (std::string(c.mode) == "complete")
            files = {FilePath("sti.urt"), FilePath("cart1.urt"), FilePath("cart2.urt")};
        auto box = StartBox(files, options);
        ComLink com(box->SlavePath());
        const auto start = std::chrono::steady_clock::now();
        // The folder as this machine names it: "/tmp/..." is a path, not a Windows-style option.
        WindowsProgram cli("sorvel-cli.exe",
                           {"--port", com.Name(), "--mode", c.mode, "--yes", dir.Path().string()},
                           dir);
        EXPECT_EQ(cli.Finish(), c.status) << cli.out << cli.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.within);
        EXPECT_NE(cli.out.rfind(c.lastMessage), std::string::npos) << cli.out;
        EXPECT_EQ(cli.out.find("was updated") != std::string::npos, c.status == 0) << cli.out;
        EXPECT_EQ(box->GetReport().filesCompleted, c.intact);
        EXPECT_TRUE(box->GetReport().errors.empty());
    }
}

// Ctrl-C (the console's control event, from SIGINT) stops the upload and closes the port: the
// box gets nothing whole, and the port opens again at once.
TEST_F(WineTest, CtrlCStopsTheUploadAndClosesThePort) {
    MakeUpgrade(40);
    Options slow;
    slow.baud = 9600;
    auto box = StartBox({FilePath("sti.urt")}, slow);
    ComLink com(box->SlavePath());
    WindowsProgram cli("sorvel-cli.exe", {"--port", com.Name(), "--mode", "sti", "--yes", "."},
                       dir);
    ASSERT_TRUE(cli.WaitForOutput("progress: ")) << cli.out << cli.err;
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Finish(20s), 1) << cli.out << cli.err;
    EXPECT_NE(cli.err.find("interrupted; the upload was stopped and the port closed\nThe box "
                           "received part of sti.urt; switch it off and on"),
              std::string::npos)
        << cli.err;
    EXPECT_EQ(box->GetReport().filesCompleted, 0u);
}

// Ports that open nothing, and a folder without a configuration: the true headline, the
// system's reason, what to do; exit 1. A name that Windows would open as another COM port
// ("COM250:COM251" opens COM250) is refused rather than opened.
TEST_F(WineTest, FailuresNameTheirReason) {
    MakeUpgrade(2);
    const std::pair<const char*, const char*> ports[] = {
        {"COM251", "COM251: File not found (is the adapter plugged in?)"},
        {"COM250:COM251", "COM250:COM251: not a port name"},
    };
    for (const auto& [port, reason] : ports) {
        WindowsProgram noPort("sorvel-cli.exe", {"--port", port, "--yes", "."}, dir);
        EXPECT_EQ(noPort.Finish(), 1);
        const std::string said = noPort.out + noPort.err;
        EXPECT_EQ(said.rfind("Invalid COM port.\nPlease check connection.\n", 0), 0u) << said;
        EXPECT_NE(said.find(reason), std::string::npos) << said;
        EXPECT_NE(said.find("\nNothing was sent to the box; "), std::string::npos) << said;
    }

    TempDir empty;
    WindowsProgram noConfig("sorvel-cli.exe", {"--port", "COM251", "--yes", "."}, empty);
    EXPECT_EQ(noConfig.Finish(), 1);
    EXPECT_NE(noConfig.err.find("the configuration did not load"), std::string::npos)
        << noConfig.out << noConfig.err;
}

// The help names ports the way Windows and the dialog do, and nothing of Linux.
TEST_F(WineTest, HelpNamesWindowsPorts) {
    WindowsProgram help("sorvel-cli.exe", {"--help"}, dir);
    EXPECT_EQ(help.Finish(), 0) << help.err;
    for (const char* shown : {"COM3", "COM12", "\"COM3:\""})
        EXPECT_NE(help.out.find(shown), std::string::npos) << shown << " in:\n" << help.out;
    for (const char* absent : {"/dev/", "dosdevices", ".config"})
        EXPECT_EQ(help.out.find(absent), std::string::npos) << absent << " in:\n" << help.out;
}

// sorvel-station.exe drives two boxes on two COM ports, driven over HTTP from this machine: both
// complete, each slot's prompts answered on its own, each attempt recorded.
TEST_F(WineTest, StationUpgradesTwoBoxesOverHttp) {
    MakeUpgrade(6);
    const std::vector<std::string> files = {FilePath("sti.urt"), FilePath("cart1.urt"),
                                            FilePath("cart2.urt")};
    auto box1 = StartBox(files);
    auto box2 = StartBox(files);
    ComLink com1(box1->SlavePath(), 0);
    ComLink com2(box2->SlavePath(), 1);
    WindowsProgram station("sorvel-station.exe",
                           {"--port", com1.Name(), "--port", com2.Name(), "--listen", "127.0.0.1:0",
                            "--record", "record.jsonl", "."},
                           dir);
    ASSERT_TRUE(station.WaitForOutput("Press Ctrl-C", 60s)) << station.out << station.err;
    StationAddress address;
    ASSERT_TRUE(ParseStationStart(station.out, &address)) << station.out;
    StationClient client(address);
    ASSERT_EQ(client.Post("/api/slots/1/unit", R"({"unit":"W-1"})").status, 200);
    ASSERT_EQ(client.Post("/api/start-all").Json()["started"], 2);

    nlohmann::json state;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    for (bool ended = false; !ended && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(100ms);
        state = client.State();
        ended = true;
        for (int id = 1; id <= 2; ++id) {
            const std::string s = state["slots"][id - 1]["state"];
            if (s == "prompt")
                client.Post("/api/slots/" + std::to_string(id) + "/answer", R"({"answer":"ok"})");
            ended = ended && (s == "updated" || s == "failed" || s == "stopped");
        }
    }
    for (int id = 1; id <= 2; ++id)
        EXPECT_EQ(state["slots"][id - 1]["state"], "updated") << state.dump(1);
    EXPECT_EQ(state["slots"][0]["unit"], "W-1");
    EXPECT_EQ(state["records"].size(), 2u) << state.dump(1);
    EXPECT_TRUE(box1->GetReport().AllIntact());
    EXPECT_TRUE(box2->GetReport().AllIntact());
    station.Signal(SIGINT);
    station.Finish(30s);
}

} // namespace
