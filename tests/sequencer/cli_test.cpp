// sorvel-cli end to end: the program against the box simulator, with answers piped to it.
#include "ChildProcess.h"
#include "ProgressLine.h"
#include "PtyPair.h"
#include "SimulatedUpgrade.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;

// What a prompt with OK/Cancel shows below its text, when it reads and with --yes.
const std::string kAskOk = "[Enter = OK, anything else = Cancel]";
const std::string kYesOk = kAskOk + " -> OK (--yes)";

// A run of sorvel-cli with its standard output and error on a pseudo-terminal of the given
// width and its input from /dev/null: its exit status and everything the terminal received.
struct TerminalRun {
    int status = -1;
    std::string screen;
};
TerminalRun RunOnTerminal(std::vector<std::string> args, unsigned short columns) {
    PtyPair pty;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    EXPECT_EQ(::ioctl(pty.Master(), TIOCSWINSZ, &size), 0);
    // A blocking descriptor of the slave side of its own: the program writes with no EAGAIN.
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(slave, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, slave, 1);
    posix_spawn_file_actions_adddup2(&actions, slave, 2);
    args.insert(args.begin(), SORVEL_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, SORVEL_CLI_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(slave);

    // The pair holds the slave open, so the end shows as the program's exit, not as a hang-up;
    // what it wrote last may reach the master a little later.
    TerminalRun run;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int status = 0;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{pty.Master(), POLLIN, 0};
        const int ready = ::poll(&p, 1, exited ? 200 : 20);
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(pty.Master(), buffer, sizeof buffer)) > 0)
            run.screen.append(buffer, static_cast<std::size_t>(n));
        if (exited && ready == 0)
            break;
        exited = exited || ::waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    run.status = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// One run of sorvel-cli.
struct Cli : ChildProcess {
    explicit Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : ChildProcess(SORVEL_CLI_PATH, args, env) {}

    // The output without its progress lines (a file's line as it starts, then "progress: N%"),
    // which Files() gives.
    std::string Messages() const {
        std::string text;
        Split(&text);
        return text;
    }
    // Each file's line as it started, and the last percentage after it: "file 1 of 3: sti.urt
    // 100%". Progress lines change the percentage each time, and never print 0 %.
    std::vector<std::string> Files() const { return Split(nullptr); }

private:
    std::vector<std::string> Split(std::string* messages) const {
        std::istringstream lines(out);
        std::string line;
        const std::regex progress("progress: ([0-9]+)%");
        const std::regex file("file [0-9]+ of [0-9]+: .*");
        std::vector<std::string> files;
        int last = 0;
        while (std::getline(lines, line)) {
            std::smatch m;
            if (std::regex_match(line, file)) {
                files.push_back(line + " 0%");
                last = 0;
            } else if (std::regex_match(line, m, progress)) {
                const int value = std::stoi(m[1]);
                EXPECT_NE(value, last) << "a progress line without a change";
                EXPECT_GT(value, 0);
                EXPECT_LE(value, 100);
                last = value;
                if (!files.empty())
                    files.back() =
                        files.back().substr(0, files.back().rfind(' ') + 1) + m.str(1) + "%";
            } else if (messages) {
                *messages += line + "\n";
            }
        }
        return files;
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

// Through a pipe, each file is named as it starts and its progress ends at 100 %.
TEST_F(CliTest, YesRunsEveryModeToItsFinalMessage) {
    MakeUpgrade(true);
    struct Case {
        const char* mode;
        std::vector<std::string> files;
        std::string messages;
        std::vector<std::string> progress;
    } cases[] = {{"complete",
                  {"sti.urt", "cart1.urt", "cart2.urt"},
                  kReboot + "\n" + kYesOk + "\n" + kFile + "\n" + kYesOk + "\n" + kGood + "\n",
                  {"file 1 of 3: sti.urt 100%", "file 2 of 3: cart1.urt 100%",
                   "file 3 of 3: cart2.urt 100%"}},
                 {"sti", {"sti.urt"}, kStiUpdated + "\n", {"file 1 of 1: sti.urt 100%"}},
                 {"cartridge",
                  {"cart1.urt", "cart2.urt"},
                  kFile + "\n" + kYesOk + "\n" + kGood + "\n",
                  {"file 1 of 2: cart1.urt 100%", "file 2 of 2: cart2.urt 100%"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Box(c.files);
        Cli cli(Args({"--mode", c.mode, "--yes"}));
        EXPECT_EQ(cli.Wait(), 0) << cli.err;
        EXPECT_EQ(cli.Messages(), c.messages);
        EXPECT_EQ(cli.Files(), c.progress) << cli.out;
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

// However the first run ends, the box, switched off and on when the program lets go of the port
// (as a technician does after a stopped upgrade), takes a whole complete update run next.
TEST_F(CliTest, PromptsReadTheirAnswersFromStandardInput) {
    MakeUpgrade(true);
    sorvel::boxsim::Options powerCycled;
    powerCycled.powerCycle = true;
    powerCycled.repeat = true;
    struct Case {
        std::string input;
        int status;
        std::size_t files;
        std::string messages;
    } cases[] = {
        {"\nY\n", 0, 3,
         kReboot + "\n" + kAskOk + "\n" + kFile + "\n" + kAskOk + "\n" + kGood + "\n"},
        {"ok\nno\n", 1, 2,
         kReboot + "\n" + kAskOk + "\n" + kFile + "\n" + kAskOk + "\n" + kSwitchOff + "\n" +
             RestartLine("sti.urt and cart1.urt") + "\n"},
        // End of input: Cancel.
        {"", 1, 1,
         kReboot + "\n" + kAskOk + "\n" + kSwitchOff + "\n" + RestartLine("sti.urt") + "\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        box = StartBox({FilePath("sti.urt"), FilePath("cart1.urt"), FilePath("cart2.urt")},
                       powerCycled);
        Cli cli(Args({}));
        cli.Input(c.input);
        EXPECT_EQ(cli.Wait(), c.status) << cli.err;
        EXPECT_EQ(cli.Messages(), c.messages);
        ExpectFilesArrived(c.files);

        Cli again(Args({"--yes"}));
        EXPECT_EQ(again.Wait(), 0) << again.out << again.err;
        ExpectFilesArrived(c.files + 3);
        EXPECT_TRUE(box->GetReport().AllIntact());
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
    // The loader's message first; a line naming the file and the reason may follow.
    EXPECT_EQ(none.Messages().rfind("Error 0x3c00 : Configuration File not found !\n", 0), 0u)
        << none.out;
    EXPECT_NE(none.Messages().find("\nlooked in " + dir.Path().string() + "\n"), std::string::npos)
        << none.out;

    // A port that does not exist is no port "used by another application".
    MakeUpgrade(true);
    Cli port({"--port", "/nonexistent/port", "--yes", dir.Path().string()});
    EXPECT_EQ(port.Wait(), 1);
    EXPECT_EQ(port.Messages().rfind(kInvalidPort + "\n/nonexistent/port", 0), 0u) << port.out;
}

// Every fault on the line or in the files ends either with every file intact at the box and
// status 0, or with status 1, the message and its reason, soon after the fault: never a false
// "updated", never a silent wait. The one thing the line cannot tell, a box silent after it asked
// for a last record again, is said on a line of its own below the final message.
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
        // Changes an upload file once its upload has begun.
        std::function<void()> whileSending;
        int status;
        std::size_t intact;
        std::string lastMessage; // the beginning of the last message shown
        std::chrono::seconds within;
        // What the last message ends with: what the box holds and what to do ("" for none).
        std::string advice;
    };
    const auto cut = [&] {
        const auto path = FilePath("cart1.urt");
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 100);
    };
    // A byte of the STI file's last record, changed on disk.
    const auto changeLastRecord = [&] {
        std::fstream file(FilePath("sti.urt"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-1, std::ios::end);
        file.put('\x5a');
    };
    // The line after a final message when the box asked for a last record again.
    const auto resent = [](const std::string& files) {
        return "\nThe box asked for the last record of " + files +
               " again and said nothing after it: check that the front panel shows 'Good' "
               "before switching off.";
    };
    const std::string partOfSti = RestartLine("part of sti.urt");
    const auto copyAgain = [](const std::string& holds) {
        return "The box received " + holds +
               "; switch it off and on, copy the upgrade again, and start from the beginning.";
    };
    const std::string sti = ".\\Ressources\\sti.urt";
    const std::string cart1 = ".\\Ressources\\cart1.urt";
    // The files hold 6, 6 and 3 records.
    const std::vector<Case> cases = {
        {"a record NAKed, STI only", "sti", [](Options& o) { o.nakEvery = 2; }, nullptr, nullptr, 0,
         1, kStiUpdated, 10s, ""},
        {"every last record NAKed once", "complete", [](Options& o) { o.nakLast = NakLast::Once; },
         nullptr, nullptr, 0, 3,
         kGood + resent(sti + ", " + cart1 + " and .\\Ressources\\cart2.urt"), 10s, ""},
        {"last record NAKed 500 ms late", "sti",
         [](Options& o) {
             o.nakLast = NakLast::Once;
             o.nakLastDelay = 500ms;
         },
         nullptr, nullptr, 0, 1, kStiUpdated + resent(sti), 10s, ""},
        // The box took the resent copy or gave up: the line cannot tell, the message says so.
        {"last record NAKed, then silence", "sti",
         [](Options& o) {
             o.nakLast = NakLast::Always;
             o.stopAfter = 7;
         },
         nullptr, nullptr, 0, 0, kStiUpdated + resent(sti), 10s, ""},
        {"last records NAKed, then silence at the last", "complete",
         [](Options& o) {
             o.nakLast = NakLast::Once;
             o.stopAfter = 17;
         },
         nullptr, nullptr, 0, 2, kGood + resent(sti + " and " + cart1), 10s, ""},
        {"last record NAKed, then hang-up", "sti",
         [](Options& o) {
             o.nakLast = NakLast::Always;
             o.hangUpAfter = 7;
         },
         nullptr, nullptr, 1, 0, kStopped + "the port was disconnected", 10s, partOfSti},
        {"hang-up right after the last record", "sti", [](Options& o) { o.hangUpAfter = 6; },
         nullptr, nullptr, 1, 1, kStopped + "the port was disconnected", 10s, partOfSti},
        {"last record NAKed once, hang-up at the last file", "complete",
         [](Options& o) {
             o.nakLast = NakLast::Once;
             o.hangUpAfter = 17;
         },
         nullptr, nullptr, 1, 2, kStopped + "the port was disconnected", 10s,
         RestartLine("sti.urt, cart1.urt and part of cart2.urt")},
        {"NAK storm", "sti", [](Options& o) { o.nakLast = NakLast::Always; }, nullptr, nullptr, 1,
         0, kStopped + "the box refused the same record again and again", 10s, partOfSti},
        {"hang-up mid-file", "sti", [](Options& o) { o.hangUpAfter = 3; }, nullptr, nullptr, 1, 0,
         kStopped + "the port was disconnected", 2s, partOfSti},
        {"box stops asking", "sti", [](Options& o) { o.stopAfter = 3; }, nullptr, nullptr, 1, 0,
         kStopped + "the box stopped asking for records", 17s, partOfSti},
        {"file cut after the check", "complete", nullptr, cut, nullptr, 1, 1,
         "Error 0x1c02 : Unknown uart file\n" + cart1 + ": ", 10s, copyAgain("sti.urt")},
        {"last record changed while the file is sent", "sti", [](Options& o) { o.baud = 9600; },
         nullptr, changeLastRecord, 1, 0,
         "Error 0x1c01 : Unknown uart file\n" + sti +
             ": the upload file changed while it was being sent",
         10s, copyAgain("part of sti.urt")},
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
        if (c.whileSending) {
            ASSERT_TRUE(cli.WaitForOutput("progress: "));
            c.whileSending();
        }
        cli.Input("\n\n");
        EXPECT_EQ(cli.Wait(), c.status) << cli.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.within);
        const std::string messages = cli.Messages();
        const auto last = messages.rfind(c.lastMessage);
        EXPECT_NE(last, std::string::npos) << messages;
        EXPECT_EQ(messages.find("was updated") != std::string::npos, c.status == 0) << messages;
        // The last line says what the box holds and what to do.
        if (!c.advice.empty()) {
            const std::string end = "\n" + c.advice + "\n";
            EXPECT_TRUE(messages.size() >= end.size() &&
                        messages.compare(messages.size() - end.size(), end.size(), end) == 0)
                << messages;
        }
        EXPECT_EQ(box->GetReport().filesCompleted, c.intact);
    }
}

// A trace that cannot be opened or written is said once on the error stream; the upgrade goes on.
TEST_F(CliTest, ATraceThatCannotBeWrittenIsSaidOnceAndTheUpgradeGoesOn) {
    MakeUpgrade(false);
    for (const char* trace : {"/nonexistent/trace.log", "/dev/full"}) {
        SCOPED_TRACE(trace);
        Box({"sti.urt"});
        Cli cli(Args({"--yes", "--trace", trace}));
        EXPECT_EQ(cli.Wait(), 0) << cli.err;
        const std::string said = std::string("the trace file ") + trace + " cannot be written";
        const auto first = cli.err.find(said);
        EXPECT_NE(first, std::string::npos) << cli.err;
        EXPECT_EQ(cli.err.find(said, first + 1), std::string::npos) << cli.err;
        ExpectFilesArrived(1);
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
        EXPECT_NE(cli.err.find("\n" + RestartLine("part of sti.urt") + "\n"), std::string::npos)
            << cli.err;
    }
    EXPECT_EQ(slow.GetReport().filesCompleted, 0u);

    // While a prompt waits for its answer.
    Box({"sti.urt", "cart1.urt"});
    Cli cli(Args({}));
    ASSERT_TRUE(cli.WaitForOutput(kReboot));
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(10s, true), 1); // its input stays open: the prompt never gets a line
    EXPECT_NE(cli.err.find("interrupted"), std::string::npos);
    EXPECT_NE(cli.err.find(RestartLine("sti.urt")), std::string::npos) << cli.err;
    EXPECT_EQ(box->GetReport().filesCompleted, 1u);
}

// On a terminal each file has one line, drawn in place: it names the file, waits for the box's
// answer counting the seconds, and ends at 100 %. No line is ever wider than the terminal.
TEST_F(CliTest, TerminalProgressLineFitsTheWidth) {
    MakeUpgrade(true, 20);
    struct Case {
        unsigned short columns;
        unsigned answerAfter; // wake-up bytes, 50 ms apart
        std::string waiting;
    } cases[] = {{80, 1, "file 1 of 3: sti.urt: waiting for the box to answer (0 s)"},
                 {40, 25, "file 2 of 3: cart1.urt: waiting (1 s)"}};
    // Lines of the messages and prompts, which are printed as they are, however wide.
    std::set<std::string> messageLines;
    std::istringstream messages(kReboot + "\n" + kFile + "\n" + kGood + "\n" + kYesOk);
    for (std::string line; std::getline(messages, line);)
        messageLines.insert(line);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.columns);
        sorvel::boxsim::Options options;
        options.answerAfter = c.answerAfter;
        box =
            StartBox({FilePath("sti.urt"), FilePath("cart1.urt"), FilePath("cart2.urt")}, options);
        const TerminalRun run = RunOnTerminal(Args({"--yes"}), c.columns);
        EXPECT_EQ(run.status, 0) << run.screen;
        std::string screen =
            std::regex_replace(run.screen, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
        std::replace(screen.begin(), screen.end(), '\r', '\n');
        std::vector<std::string> lines;
        std::istringstream split(screen);
        for (std::string line; std::getline(split, line);)
            if (!line.empty() && !messageLines.contains(line))
                lines.push_back(line);
        for (const auto& line : lines)
            EXPECT_LT(sorvel::cli::VisibleWidth(line), c.columns) << "'" << line << "'";
        const auto has = [&](const std::string& text) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const auto& l) { return l.find(text) != std::string::npos; });
        };
        EXPECT_TRUE(has(c.waiting)) << screen;
        for (const char* name :
             {"file 1 of 3: sti.urt", "file 2 of 3: cart1.urt", "file 3 of 3: cart2.urt"})
            EXPECT_TRUE(has(std::string(name) + (c.columns >= 80 ? " [" : "  "))) << name;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const auto& l) { return l.find("100%") != std::string::npos; }),
                  3)
            << screen;
        EXPECT_FALSE(has("progress: ")) << screen;
    }
}

// --trace FILE logs the protocol as it happens, resends and the box's other bytes included.
TEST_F(CliTest, TraceFollowsTheProtocol) {
    MakeUpgrade(false);
    sorvel::boxsim::Options options;
    options.nakEvery = 2;
    options.garbageEvery = 3;
    options.garbageBytes = "OK\r\n";
    box = StartBox({FilePath("sti.urt")}, options);
    const auto trace = dir.Path() / "trace.log";
    Cli cli(Args({"--yes", "--trace", trace.string()}));
    EXPECT_EQ(cli.Wait(), 0) << cli.err;
    std::ifstream file(trace);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    std::size_t at = 0;
    for (const char* event :
         {"port opened: ", "upload started: .\\Ressources\\sti.urt, 6 records", "ACK after ",
          "ENQ: record 1 of 6 sent, 300 bytes", "ENQ: record 2 of 6 sent",
          "NAK: record 2 sent again", "ENQ: record 6 of 6 sent", "complete: ", "port closed"}) {
        at = text.find(event, at);
        ASSERT_NE(at, std::string::npos) << event << " in order in:\n" << text;
    }
    EXPECT_NE(text.find("box sent: 4f 4b 0d 0a \"OK..\"\n"), std::string::npos) << text;
}

// True when text is a sequence of whole UTF-8 characters.
bool WholeCharacters(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (at + n > text.size())
            return false;
        for (std::size_t i = 1; i < n; ++i)
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
                return false;
        at += n;
    }
    return true;
}

// The line fits every width, keeps the percentage as long as it can, and cuts names on whole
// characters.
TEST(ProgressLineTest, FitsEveryWidth) {
    sorvel::cli::ProgressLineState waiting{1, 3, "Sti.urt", true, 12};
    sorvel::cli::ProgressLineState sending{2, 3, "Cartridge1.urt", false, 0, 45, 12345.6, 421};
    sorvel::cli::ProgressLineState wide{3, 3, "Ünïcödé_名前_Cartridge2.urt", false, 0, 100, -1, 0};
    for (const auto& state : {waiting, sending, wide}) {
        for (int columns = 1; columns <= 120; ++columns) {
            const std::string line = sorvel::cli::LayOutProgressLine(state, columns);
            SCOPED_TRACE(std::to_string(columns) + ": '" + line + "'");
            EXPECT_LE(sorvel::cli::VisibleWidth(line), std::max(columns - 1, 1));
            EXPECT_TRUE(WholeCharacters(line));
            if (columns >= 8 && !state.waiting) {
                EXPECT_NE(line.find(std::to_string(state.percent) + "%"), std::string::npos);
            }
        }
    }
    EXPECT_EQ(sorvel::cli::LayOutProgressLine(sending, 80),
              "file 2 of 3: Cartridge1.urt [#########............]  45%   12.3 kB/s   ETA 7:01");
    EXPECT_EQ(sorvel::cli::DisplayName(".\\Ressources\\Cartridge1.urt"), "Cartridge1.urt");
}

} // namespace
