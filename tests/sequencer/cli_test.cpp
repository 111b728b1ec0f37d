// sorvel-cli end to end: the program against the box simulator, with answers piped to it.
#include "ChildProcess.h"
#include "SimulatedUpgrade.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;

// One run of sorvel-cli.
struct Cli : ChildProcess {
    explicit Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : ChildProcess(SORVEL_CLI_PATH, args, env) {}

    // The output without its progress lines, which are checked on their own.
    std::string Messages() const {
        std::istringstream lines(out);
        std::string line, text;
        std::regex progress("progress: ([0-9]+)%");
        int last = 0;
        while (std::getline(lines, line)) {
            std::smatch m;
            if (std::regex_match(line, m, progress)) {
                int value = std::stoi(m[1]);
                EXPECT_NE(value, last) << "a progress line without a change";
                EXPECT_LE(value, 100);
                last = value;
            } else {
                text += line + "\n";
            }
        }
        return text;
    }
};

class CliTest : public ::testing::Test {
protected:
    // An upgrade folder as the program gets it: paths written on Windows, relative to it.
    void MakeUpgrade(bool full, std::size_t records = 6) {
        UpgradeFolder folder({records, 300}, {records, 500}, {3, 200});
        folder.full = full;
        folder.windowsPaths = true;
        folder.Write(dir);
    }
    std::string FilePath(const char* name) { return (dir.Path() / "Ressources" / name).string(); }
    sorvel::boxsim::BoxSimulator& Box(std::vector<std::string> names, unsigned baud = 0) {
        sorvel::boxsim::Options options;
        options.baud = baud;
        for (auto& n : names)
            n = FilePath(n.c_str());
        box = StartBox(names, options);
        return *box;
    }
    std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> args{"--port", box->SlavePath()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir.Path().string());
        return args;
    }
    void ExpectFilesArrived(std::size_t n) { sorvel::test::ExpectFilesArrived(*box, n); }

    TempDir dir;
    std::unique_ptr<sorvel::boxsim::BoxSimulator> box;
};

TEST_F(CliTest, YesRunsEveryModeToItsFinalMessage) {
    MakeUpgrade(true);
    struct Case {
        const char* mode;
        std::vector<std::string> files;
        std::string messages;
    } cases[] = {{"complete",
                  {"sti.urt", "cart1.urt", "cart2.urt"},
                  kReboot + "\n" + kFile + "\n" + kGood + "\n"},
                 {"sti", {"sti.urt"}, kStiUpdated + "\n"},
                 {"cartridge", {"cart1.urt", "cart2.urt"}, kFile + "\n" + kGood + "\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Box(c.files);
        Cli cli(Args({"--mode", c.mode, "--yes"}));
        EXPECT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(cli.Messages(), c.messages);
        EXPECT_NE(cli.out.find("progress: "), std::string::npos);
        ExpectFilesArrived(c.files.size());
    }
}

TEST_F(CliTest, DefaultModeFollowsTheConfiguration) {
    MakeUpgrade(false);
    Box({"sti.urt"});
    Cli cli(Args({"--yes"}));
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    EXPECT_EQ(cli.Messages(), kStiUpdated + "\n");
    ExpectFilesArrived(1);

    Cli wrong(Args({"--mode", "cartridge"}));
    EXPECT_EQ(wrong.Wait(), 2);
    EXPECT_NE(wrong.err.find("only the STI file"), std::string::npos) << wrong.err;
}

TEST_F(CliTest, PromptsReadTheirAnswersFromStandardInput) {
    MakeUpgrade(true);
    struct Case {
        std::string input;
        int status;
        std::size_t files;
        std::string messages;
    } cases[] = {{"\nY\n", 0, 3, kReboot + "\n" + kFile + "\n" + kGood + "\n"},
                 {"ok\nno\n", 1, 2, kReboot + "\n" + kFile + "\n" + kSwitchOff + "\n"},
                 {"", 1, 1, kReboot + "\n" + kSwitchOff + "\n"}}; // end of input: Cancel
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        Box({"sti.urt", "cart1.urt", "cart2.urt"});
        Cli cli(Args({}));
        cli.Input(c.input);
        EXPECT_EQ(cli.Wait(), c.status) << cli.err;
        EXPECT_EQ(cli.Messages(), c.messages);
        ExpectFilesArrived(c.files);
    }
}

TEST_F(CliTest, ComPortNameReachesTheBoxThroughTheUsersMapping) {
    MakeUpgrade(false);
    Box({"sti.urt"});
    auto config = dir.Path() / "xdg";
    std::filesystem::create_directories(config / "sorvel" / "dosdevices");
    std::filesystem::create_symlink(box->SlavePath(), config / "sorvel" / "dosdevices" / "com1");
    Cli cli({"--port", "COM1:", "--yes", dir.Path().string()},
            {"XDG_CONFIG_HOME=" + config.string()});
    EXPECT_EQ(cli.Wait(), 0) << cli.out << cli.err;
    ExpectFilesArrived(1);
}

TEST_F(CliTest, FailuresEndWithStatusOneAndTheSystemsMessages) {
    // No configuration: the loader's own message.
    Box({});
    Cli none(Args({"--yes"}));
    EXPECT_EQ(none.Wait(), 1);
    EXPECT_EQ(none.Messages(), "Error 0x3c00 : Configuration File not found !\n");

    // A port that does not open.
    MakeUpgrade(true);
    Cli port({"--port", "/nonexistent/port", "--yes", dir.Path().string()});
    EXPECT_EQ(port.Wait(), 1);
    EXPECT_EQ(port.Messages().rfind("COM port used by another application.\nPlease change COM "
                                    "port or close application.\n/nonexistent/port",
                                    0),
              0u)
        << port.out;
}

// Every fault on the line or in the files ends either with every file intact at the box and
// status 0, or with status 1, the message and its reason, soon after the fault: never a false
// "updated", never a silent wait.
TEST_F(CliTest, FaultsEndInTruthAndInTime) {
    using NakLast = sorvel::boxsim::Options::NakLast;
    using Options = sorvel::boxsim::Options;
    const std::string kStopped = kTimeout + "\n";
    struct Case {
        const char* name;
        const char* mode;
        std::function<void(Options&)> fault;
        // Changes an upload file once the reboot prompt is open (after the start-up check).
        std::function<void()> whilePromptOpen;
        int status;
        std::size_t intact;
        std::string lastMessage; // the beginning of the last message shown
        std::chrono::seconds within;
    };
    const auto cut = [&] {
        const auto path = FilePath("cart1.urt");
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 100);
    };
    const std::vector<Case> cases = {
        {"last record NAKed, STI only", "sti", [](Options& o) { o.nakEvery = 2; }, nullptr, 0, 1,
         kStiUpdated, 10s},
        {"every last record NAKed once", "complete", [](Options& o) { o.nakLast = NakLast::Once; },
         nullptr, 0, 3, kGood, 10s},
        {"NAK storm", "sti", [](Options& o) { o.nakLast = NakLast::Always; }, nullptr, 1, 0,
         kStopped + "the box refused the same record again and again", 10s},
        {"hang-up mid-file", "sti", [](Options& o) { o.hangUpAfter = 3; }, nullptr, 1, 0,
         kStopped + "the port was disconnected", 2s},
        {"box stops asking", "sti", [](Options& o) { o.stopAfter = 3; }, nullptr, 1, 0,
         kStopped + "the box stopped asking for records", 17s},
        {"file cut after the check", "complete", nullptr, cut, 1, 1,
         "Error 0x1c02 : Unknown uart file\n.\\Ressources\\cart1.urt: ", 10s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeUpgrade(true);
        Options options;
        if (c.fault)
            c.fault(options);
        std::vector<std::string> files{FilePath("sti.urt")};
        if (std::string(c.mode) == "complete")
            files = {FilePath("sti.urt"), FilePath("cart1.urt"), FilePath("cart2.urt")};
        box = StartBox(files, options);
        const auto start = std::chrono::steady_clock::now();
        Cli cli(Args({"--mode", c.mode}));
        if (c.whilePromptOpen) {
            ASSERT_TRUE(cli.WaitForOutput(kReboot));
            c.whilePromptOpen();
        }
        cli.Input("\n\n");
        EXPECT_EQ(cli.Wait(), c.status) << cli.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.within);
        const std::string messages = cli.Messages();
        const auto last = messages.rfind(c.lastMessage);
        EXPECT_NE(last, std::string::npos) << messages;
        EXPECT_EQ(messages.find("was updated") != std::string::npos, c.status == 0) << messages;
        EXPECT_EQ(box->GetReport().filesCompleted, c.intact);
    }
}

TEST_F(CliTest, WrongUsageEndsWithStatusTwo) {
    MakeUpgrade(true);
    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"--mode", "all", "--port", "COM1:"},
                                          {"--port", "COM1:", "a", "b"},
                                          {"--port"},
                                          {"--bogus", "--port", "COM1:"},
                                          {"--port", "COM1:", "/nonexistent/folder"}}) {
        Cli cli(args);
        EXPECT_EQ(cli.Wait(), 2) << cli.err;
        EXPECT_NE(cli.err.find("sorvel-cli: "), std::string::npos);
        EXPECT_TRUE(cli.out.empty());
    }
    Cli help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_EQ(help.out.rfind("Usage: sorvel-cli --port NAME", 0), 0u);
}

TEST_F(CliTest, InterruptStopsTheUploadAndClosesThePort) {
    MakeUpgrade(true, 40);
    // During an upload.
    auto& slow = Box({"sti.urt"}, 9600);
    {
        Cli cli(Args({"--yes"}));
        ASSERT_TRUE(cli.WaitForOutput("progress: "));
        cli.Signal(SIGINT);
        EXPECT_EQ(cli.Wait(), 1);
        EXPECT_NE(cli.err.find("interrupted"), std::string::npos);
    }
    EXPECT_EQ(slow.GetReport().filesCompleted, 0u);

    // While a prompt waits for its answer.
    Box({"sti.urt", "cart1.urt"});
    Cli cli(Args({}));
    ASSERT_TRUE(cli.WaitForOutput(kReboot));
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(10s, true), 1); // its input stays open: the prompt never gets a line
    EXPECT_NE(cli.err.find("interrupted"), std::string::npos);
    EXPECT_EQ(box->GetReport().filesCompleted, 1u);
}

} // namespace
