// WorkerProcess against this test program itself, started again as a worker with kChildFlag:
// it then echoes lines, writes output without line ends, prints its arguments, waits for the
// station's stop request, or plays a station, as the test asks.
#include "Program.h"
#include "StopEventName.h"
#include "WorkerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#endif

namespace sorvel::station {
namespace {

using namespace std::chrono_literals;

constexpr char kChildFlag[] = "--worker-process-test-child";

void Print(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

// What differs between the systems: how the child takes a stop request, how a stopped and a
// killed worker end, the station's own Ctrl-C state, and how an orphaned worker is watched.
#if defined(_WIN32)
void UseBinaryStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}
// As sorvel-cli does: the named event, then a wait on it.
int WaitForStopRequest() {
    HANDLE event =
        ::CreateEventA(nullptr, TRUE, FALSE, CliStopEventName(::GetCurrentProcessId()).c_str());
    Print("ready");
    return ::WaitForSingleObject(event, 30000) == WAIT_OBJECT_0 ? 7 : 8;
}
const std::string kStoppedText = "exit status 7";
const std::string kKilledText = "killed";
// The stop request does not go through the console: nothing of the station's matters.
struct StationSignalState {
    StationSignalState() {}
};
// Through a handle taken while its station ran; ended here if it outlived the station.
struct OrphanWatch {
    HANDLE process = nullptr;
    void Watch(long pid) {
        process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    }
    bool EndsWithin(std::chrono::milliseconds timeout) {
        return ::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
    }
    ~OrphanWatch() {
        ::TerminateProcess(process, 1);
        ::CloseHandle(process);
    }
};
#else
void UseBinaryStdout() {}
// SIGINT ends it, if its disposition and mask are the defaults.
int WaitForStopRequest() {
    Print("ready");
    std::this_thread::sleep_for(30s);
    return 8;
}
const std::string kStoppedText = "killed by signal 2 (Interrupt)";
const std::string kKilledText = "killed by signal 9 (Killed)";
// The station blocks and ignores SIGINT while it starts the worker.
struct StationSignalState {
    sigset_t mask;
    void (*handler)(int);
    StationSignalState() {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt, &mask);
        handler = std::signal(SIGINT, SIG_IGN);
    }
    ~StationSignalState() {
        std::signal(SIGINT, handler);
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    }
};
// This process takes the orphan as its child (a subreaper) to see how it ended; ended here if
// it outlived its station.
struct OrphanWatch {
    pid_t pid = -1;
    OrphanWatch() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void Watch(long worker) { pid = static_cast<pid_t>(worker); }
    bool EndsWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        pid = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
    }
    ~OrphanWatch() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
};
#endif

std::unique_ptr<WorkerProcess> StartChild(const std::string& mode,
                                          const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{kChildFlag, mode};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string error;
    auto worker = WorkerProcess::Start(ProgramFilePath(), args, &error);
    EXPECT_NE(worker, nullptr) << error;
    return worker;
}

std::vector<std::string> ReadAll(WorkerProcess& worker) {
    std::vector<std::string> lines;
    for (std::string line; worker.ReadLine(&line);)
        lines.push_back(line);
    return lines;
}

int RunChild(const std::string& mode, const std::vector<std::string>& args) {
    std::string line;
    if (mode == "echo") {
        while (std::getline(std::cin, line)) {
            if (line.rfind("exit ", 0) == 0)
                return std::stoi(line.substr(5));
            Print("got " + line);
        }
        return 0;
    }
    if (mode == "partial") {
        UseBinaryStdout();
        std::fputs("first\r\nsecond\nlast", stdout);
        return 3;
    }
    if (mode == "args") {
        for (const std::string& arg : args)
            Print("[" + arg + "]");
        return 0;
    }
    if (mode == "wait-stop")
        return WaitForStopRequest();
    // A station that starts a worker, says its pid, and when told ends without ending it.
    if (mode == "station") {
        auto worker = StartChild("wait-stop");
        if (worker == nullptr || !worker->ReadLine(&line))
            return 9;
        Print(std::to_string(worker->Pid()));
        std::getline(std::cin, line);
        std::_Exit(0);
    }
    return 100;
}

struct Conversation {
    const char* name;
    std::string mode;
    std::vector<std::string> args;
    std::vector<std::string> input;
    bool closeInput;
    std::vector<std::string> output;
    std::string exit;
};

void PrintTo(const Conversation& row, std::ostream* out) {
    *out << row.name;
}

class WorkerConversation : public testing::TestWithParam<Conversation> {};

TEST_P(WorkerConversation, GivesTheLinesAndTheExitOfTheWorker) {
    const Conversation& row = GetParam();
    auto worker = StartChild(row.mode, row.args);
    ASSERT_NE(worker, nullptr);
    for (const std::string& line : row.input)
        EXPECT_TRUE(worker->WriteLine(line));
    if (row.closeInput)
        worker->CloseInput();
    EXPECT_EQ(ReadAll(*worker), row.output);
    EXPECT_EQ(worker->Wait().Describe(), row.exit);
    // Asked again, the same answer; a late write fails (without SIGPIPE ending the tests).
    EXPECT_EQ(worker->Wait().Describe(), row.exit);
    EXPECT_FALSE(worker->WriteLine("late"));
}

const std::string kLongLine(100000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Rows, WorkerConversation,
    testing::Values(Conversation{"AnswersEachLineUntilTheEndOfItsInput",
                                 "echo",
                                 {},
                                 {"one", "two"},
                                 true,
                                 {"got one", "got two"},
                                 "exit status 0"},
                    Conversation{"EmptyAndLongLines",
                                 "echo",
                                 {},
                                 {"", kLongLine},
                                 true,
                                 {"got ", "got " + kLongLine},
                                 "exit status 0"},
                    Conversation{"ExitCodeOfAWorkerThatEndsByItself",
                                 "echo",
                                 {},
                                 {"hello", "exit 3"},
                                 false,
                                 {"got hello"},
                                 "exit status 3"},
                    Conversation{"CarriageReturnsDroppedAndALastLineWithoutEnd",
                                 "partial",
                                 {},
                                 {},
                                 true,
                                 {"first", "second", "last"},
                                 "exit status 3"},
                    Conversation{
                        "ArgumentsArriveAsGiven",
                        "args",
                        {"", "two words", "say \"hi\"", "C:\\my path\\", "a\\\\b", "tab\tin"},
                        {},
                        true,
                        {"[]", "[two words]", "[say \"hi\"]", "[C:\\my path\\]", "[a\\\\b]",
                         "[tab\tin]"},
                        "exit status 0"}),
    [](const testing::TestParamInfo<Conversation>& info) { return info.param.name; });

// A stop request before the worker watches for it must wait for it; one after, reach it.
TEST(WorkerProcess, StopRequestAndKillEndTheWorker) {
    const struct {
        std::string mode;
        bool readyFirst;
        bool kill;
        std::string exit;
    } rows[] = {{"wait-stop", false, false, kStoppedText},
                {"wait-stop", true, false, kStoppedText},
                {"wait-stop", true, true, kKilledText}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.exit + (row.readyFirst ? " once ready" : " at once"));
        std::unique_ptr<WorkerProcess> worker;
        {
            const StationSignalState blockedAndIgnored;
            worker = StartChild(row.mode);
        }
        ASSERT_NE(worker, nullptr);
        std::string line;
        if (row.readyFirst) {
            EXPECT_TRUE(worker->ReadLine(&line));
        }
        if (row.kill) {
            worker->Kill();
        } else {
            EXPECT_TRUE(worker->RequestStop());
        }
        ReadAll(*worker);
        EXPECT_EQ(worker->Wait().Describe(), row.exit);
        worker->Kill();
    }
}

TEST(WorkerProcess, AWorkerEndsWithItsStation) {
    OrphanWatch orphan;
    auto station = StartChild("station");
    ASSERT_NE(station, nullptr);
    std::string pid;
    ASSERT_TRUE(station->ReadLine(&pid));
    orphan.Watch(std::stol(pid));
    station->WriteLine("end");
    EXPECT_EQ(station->Wait().Describe(), "exit status 0");
    EXPECT_TRUE(orphan.EndsWithin(10s));
}

// Each worker sees the end of its input, and its reader the end of its output, although others
// were started at the same time: no worker holds another's pipes.
TEST(WorkerProcess, WorkersStartedAtOnceHoldNoPipeOfAnother) {
    constexpr int kWorkers = 4;
    std::vector<std::string> outcomes(kWorkers);
    std::vector<std::thread> threads;
    // Each thread starts, feeds and reads its worker: on Linux a worker ends with its thread.
    for (int i = 0; i < kWorkers; ++i) {
        threads.emplace_back([i, &outcomes] {
            auto worker = StartChild("echo");
            if (worker == nullptr)
                return;
            worker->WriteLine(std::to_string(i));
            worker->CloseInput();
            for (const std::string& line : ReadAll(*worker))
                outcomes[i] += line + ";";
            outcomes[i] += worker->Wait().Describe();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kWorkers; ++i)
        EXPECT_EQ(outcomes[i], "got " + std::to_string(i) + ";exit status 0");
}

TEST(WorkerProcess, StartFailsWithTheReason) {
    const struct {
        std::string program, cwd, error; // "": this program; the error's beginning
    } rows[] = {{"/no-such-folder/sorvel-no-such-program", "",
                 "program not found: /no-such-folder/sorvel-no-such-program"},
                {"sorvel-no-such-program", "", "program not found: sorvel-no-such-program"},
                {"", "/no-such-folder", "cannot start "}};
    for (const auto& row : rows) {
        std::string error;
        const std::string program = row.program.empty() ? ProgramFilePath() : row.program;
        EXPECT_EQ(WorkerProcess::Start(program, {kChildFlag, "echo"}, &error, row.cwd), nullptr);
        EXPECT_EQ(error.substr(0, row.error.size()), row.error) << error;
    }
}

#if defined(_WIN32)
TEST(WorkerExit, CrashCodesAreGivenInHexToo) {
    EXPECT_EQ((WorkerExit{true, static_cast<int>(0xC0000005u), 0}.Describe()),
              "exit status 3221225477 (0xC0000005)");
    EXPECT_EQ((WorkerExit{true, 0x7FFFFFFF, 0}.Describe()), "exit status 2147483647");
}
#else
TEST(WorkerProcess, DestroyingARunningWorkerLeavesNoZombie) {
    auto worker = StartChild("wait-stop");
    ASSERT_NE(worker, nullptr);
    const auto pid = static_cast<pid_t>(worker->Pid());
    worker.reset();
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
#endif

TEST(QuoteWindowsArgument, FollowsTheCRuntimeRules) {
    const std::pair<std::string, std::string> rows[] = {
        {"", R"("")"},
        {"plain", "plain"},
        {R"(C:\folder\)", R"(C:\folder\)"},
        {"two words", R"("two words")"},
        {"tab\there", "\"tab\there\""},
        {R"(say "hi")", R"("say \"hi\"")"},
        {R"(a\"b)", R"("a\\\"b")"},
        {R"(C:\my folder\)", R"("C:\my folder\\")"},
        {R"(a\\b c)", R"("a\\b c")"},
    };
    for (const auto& [argument, quoted] : rows)
        EXPECT_EQ(QuoteWindowsArgument(argument), quoted) << argument;
}

} // namespace
} // namespace sorvel::station

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == sorvel::station::kChildFlag)
        return sorvel::station::RunChild(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
