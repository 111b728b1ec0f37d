// sorvel-cli end to end: the program against the box simulator, with answers piped to it.
#include "BoxSimulator.h"
#include "ConfigWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using sorvel::boxsim::BoxSimulator;
using Clock = std::chrono::steady_clock;

const std::string kReboot = "Please wait for the Set Top Box reboots and then click on OK";
const std::string kFile = "Please wait for the front panel displays 'FILE'\nand click on OK";
const std::string kSwitchOff = "Upload stopped.\nPlease switch off the set top box";
const std::string kStiUpdated =
    "Your Brevon Box was updated.\nPlease wait during the write process.";
const std::string kGood = "Your Brevon Box was updated. Please wait for the\nfront panel displays "
                          "'Good' before switching off";

// One run of sorvel-cli with pipes on its standard streams.
class Cli {
public:
    Cli(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
        int in[2], out[2], err[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all{SORVEL_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env(extraEnv);
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        // As from a terminal: Ctrl-C and the stop signals act, whatever this process ignores.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        posix_spawnattr_setsigdefault(&attr, &signals);
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attr, &signals);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        EXPECT_EQ(posix_spawn(&m_pid, SORVEL_CLI_PATH, &actions, &attr, argv.data(), envp.data()),
                  0);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }
    ~Cli() {
        CloseInput();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }

    void Input(const std::string& text) {
        EXPECT_EQ(::write(m_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseInput() {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }
    void Signal(int sig) { ::kill(m_pid, sig); }

    // Reads output until it contains text; false after the time-out.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = 30s) {
        auto deadline = Clock::now() + timeout;
        while (out.find(text) == std::string::npos) {
            if (!ReadSome(deadline))
                return false;
        }
        return true;
    }
    // Reads everything until the program ends; its exit status, or -1. Standard input ends
    // first unless keepInput.
    int Wait(std::chrono::milliseconds timeout = 60s, bool keepInput = false) {
        if (!keepInput)
            CloseInput();
        auto deadline = Clock::now() + timeout;
        while (ReadSome(deadline)) {
        }
        int status = 0;
        if (::waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
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

    std::string out, err;

private:
    // False once both streams ended or the deadline passed.
    bool ReadSome(Clock::time_point deadline) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (fds[0].fd < 0 && fds[1].fd < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        bool open = false;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? m_out : m_err;
            if (fd < 0)
                continue;
            if (fds[i].revents) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0)
                    (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
                else if (n == 0 || errno != EINTR) {
                    ::close(fd);
                    fd = -1;
                    continue;
                }
            }
            open = true;
        }
        return open;
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
};

std::vector<std::uint8_t> UploadFile(std::size_t records, std::size_t bytes, std::uint8_t seed) {
    std::vector<std::vector<std::uint8_t>> bodies;
    for (std::size_t i = 0; i < records; ++i)
        bodies.push_back(sorvel::boxsim::MakeRecordBody(bytes, seed + i));
    return sorvel::boxsim::MakeUploadFile(bodies);
}

class CliTest : public ::testing::Test {
protected:
    // An upgrade folder as the program gets it: paths written on Windows, relative to it.
    void MakeUpgrade(bool full, std::size_t records = 6) {
        dir.Write("Ressources/sti.urt", UploadFile(records, 300, 1));
        dir.Write("Ressources/cart1.urt", UploadFile(records, 500, 2));
        dir.Write("Ressources/cart2.urt", UploadFile(3, 200, 3));
        sorvel::ConfigSpec spec;
        spec.stiPath = ".\\Ressources\\sti.urt";
        if (full) {
            spec.cartridge1Path = ".\\Ressources\\cart1.urt";
            spec.cartridge2Path = ".\\Ressources\\cart2.urt";
        }
        std::string error;
        ASSERT_TRUE(sorvel::WriteConfiguration(dir.Path(), spec, &error)) << error;
    }
    std::string FilePath(const char* name) { return (dir.Path() / "Ressources" / name).string(); }
    BoxSimulator& Box(std::vector<std::string> names, unsigned baud = 0) {
        sorvel::boxsim::Options options;
        options.baud = baud;
        box = std::make_unique<BoxSimulator>(options);
        for (const auto& n : names)
            EXPECT_TRUE(box->Expect(FilePath(n.c_str())));
        EXPECT_TRUE(box->Start());
        return *box;
    }
    std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> args{"--port", box->SlavePath()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir.Path().string());
        return args;
    }
    void ExpectFilesArrived(std::size_t n) {
        ASSERT_TRUE(box->WaitForFilesCompleted(n, 10s));
        auto report = box->GetReport();
        EXPECT_TRUE(report.errors.empty()) << report.errors.front();
        EXPECT_EQ(report.filesCompleted, n);
    }

    sorvel::test::TempDir dir;
    std::unique_ptr<BoxSimulator> box;
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
