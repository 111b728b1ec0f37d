// The upgrade record, end to end: sorvel-cli against the box simulator leaves one record per
// attempt, whatever ends it; the record file takes concurrent writers whole.
#include "ChildProcess.h"
#include "SimulatedUpgrade.h"
#include "TempDir.h"
#include "UpgradeRecordFile.h"
#include "UpgradeRecorder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;
using sorvel::record::UpgradeAttempt;
namespace fs = std::filesystem;

// No test of this program writes to the user's own record: the runs that record name their
// file with --record.
const bool kNoUserRecord = [] { return ::setenv("SORVEL_RECORD", "", 1) == 0; }();

// Every line of a record file, each read back as a record.
std::vector<UpgradeAttempt> ReadRecords(const fs::path& path, std::size_t* lines = nullptr) {
    std::ifstream in(path);
    std::vector<UpgradeAttempt> records;
    std::string line;
    std::size_t count = 0;
    while (std::getline(in, line)) {
        ++count;
        UpgradeAttempt attempt;
        std::string error;
        EXPECT_TRUE(
            sorvel::record::FromJson(nlohmann::json::parse(line, nullptr, false), &attempt, &error))
            << error << ": " << line;
        records.push_back(attempt);
    }
    if (lines != nullptr)
        *lines = count;
    return records;
}

std::vector<fs::path> Markers(const fs::path& record) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(record.parent_path()))
        if (entry.path().filename().string().rfind(record.filename().string() + ".begun-", 0) == 0)
            found.push_back(entry.path());
    return found;
}

class CliRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kNoUserRecord);
        UpgradeFolder folder({6, 300}, {6, 500}, {3, 200});
        folder.full = true;
        folder.windowsPaths = true;
        folder.Write(dir);
    }
    std::string FilePath(const char* name) { return (dir.Path() / "Ressources" / name).string(); }

    TempDir dir;
    TempDir records;
};

// One table over the ways an attempt ends; each leaves exactly one record, with the context,
// the files and what the box got.
TEST_F(CliRecordTest, EveryWayAnAttemptEndsLeavesOneRecord) {
    using NakLast = sorvel::boxsim::Options::NakLast;
    const std::string sti = ".\\Ressources\\sti.urt", cart1 = ".\\Ressources\\cart1.urt",
                      cart2 = ".\\Ressources\\cart2.urt";
    struct Case {
        const char* name;
        const char* mode;
        std::function<void(sorvel::boxsim::Options&)> fault;
        std::string port; // "" for the box's
        std::string input;
        int signal; // sent once the first file is on its way; SIGKILL then restarts the program
        std::string outcome, failureClass;
        std::string reason; // the beginning of the record's reason
        std::vector<bool> delivered;
        std::vector<int> resends;
    };
    const std::vector<Case> cases = {
        {"updated, every last record sent again once",
         "complete",
         [](auto& o) { o.nakLast = NakLast::Once; },
         "",
         "\n\n",
         0,
         "updated",
         "",
         "Your Brevon Box was updated.",
         {true, true, true},
         {1, 1, 1}},
        {"port failure",
         "complete",
         nullptr,
         "/nonexistent/port",
         "",
         0,
         "failed",
         "port",
         "Invalid COM port.\nPlease check connection.\n",
         {false, false, false},
         {0, 0, 0}},
        {"line failure: hang-up mid-file",
         "sti",
         [](auto& o) { o.hangUpAfter = 3; },
         "",
         "",
         0,
         "failed",
         "line",
         "Error during upload.",
         {false},
         {0}},
        {"box refused: NAK storm",
         "sti",
         [](auto& o) { o.nakLast = NakLast::Always; },
         "",
         "",
         0,
         "failed",
         "box-refused",
         "Error during upload.",
         {false},
         {0}},
        {"stopped at a prompt",
         "complete",
         nullptr,
         "",
         "no\n",
         0,
         "stopped",
         "user",
         "Upload stopped.\nPlease switch off the set top box",
         {true, false, false},
         {0, 0, 0}},
        {"Ctrl-C",
         "sti",
         [](auto& o) { o.baud = 9600; },
         "",
         "",
         SIGINT,
         "stopped",
         "user",
         "Stopped. The box received part of sti.urt.",
         {false},
         {0}},
        {"killed, recorded at the next start",
         "sti",
         [](auto& o) { o.baud = 9600; },
         "",
         "",
         SIGKILL,
         "failed",
         "user",
         sorvel::record::CUpgradeRecorder::kAbandonedReason,
         {false},
         {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path record = records.Path() / c.name / "upgrades.jsonl";
        sorvel::boxsim::Options options;
        if (c.fault)
            c.fault(options);
        std::vector<std::string> files{FilePath("sti.urt")};
        if (std::string(c.mode) == "complete")
            files = {FilePath("sti.urt"), FilePath("cart1.urt"), FilePath("cart2.urt")};
        const auto box = StartBox(files, options);
        const std::string port = c.port.empty() ? box->SlavePath() : c.port;
        const std::vector<std::string> args{"--port", port,       "--mode",
                                            c.mode,   "--record", record.string(),
                                            "--unit", "SN0042",   dir.Path().string()};
        {
            ChildProcess cli(SORVEL_CLI_PATH, args);
            if (c.signal != 0) {
                ASSERT_TRUE(cli.WaitForOutput("progress: "));
                cli.Signal(c.signal);
            }
            cli.Input(c.input);
            cli.Wait();
            EXPECT_EQ(cli.err.find("record is off"), std::string::npos) << cli.err;
        }
        if (c.signal == SIGKILL) {
            // The killed run left its marker and no record; any later start records it.
            EXPECT_EQ(Markers(record).size(), 1u);
            EXPECT_FALSE(fs::exists(record));
            ChildProcess next(SORVEL_CLI_PATH, {"--port", "/nonexistent/port", "--record",
                                                record.string(), dir.Path().string()});
            EXPECT_EQ(next.Wait(), 1);
        }
        EXPECT_TRUE(Markers(record).empty());
        const auto got = ReadRecords(record);
        ASSERT_EQ(got.size(), c.signal == SIGKILL ? 2u : 1u);
        const UpgradeAttempt& r = got.front();
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.failureClass, c.failureClass);
        EXPECT_EQ(r.reason.rfind(c.reason, 0), 0u) << r.reason;
        EXPECT_EQ(r.program, "sorvel-cli");
        EXPECT_FALSE(r.version.empty());
        EXPECT_FALSE(r.host.empty());
        EXPECT_FALSE(r.user.empty());
        EXPECT_EQ(r.port, port);
        EXPECT_TRUE(fs::equivalent(r.folder, dir.Path())) << r.folder;
        EXPECT_EQ(r.unit, "SN0042");
        EXPECT_EQ(r.mode, c.mode);
        EXPECT_LE(r.start, r.end);
        ASSERT_EQ(r.files.size(), c.delivered.size());
        const std::vector<std::string> paths{sti, cart1, cart2};
        const std::vector<std::uint32_t> counts{6, 6, 3};
        for (std::size_t i = 0; i < r.files.size(); ++i) {
            SCOPED_TRACE(r.files[i].path);
            EXPECT_EQ(r.files[i].path, paths[i]);
            EXPECT_EQ(r.files[i].size,
                      fs::file_size(FilePath(paths[i].substr(paths[i].rfind('\\') + 1).c_str())));
            EXPECT_NE(r.files[i].crc32, 0u);
            EXPECT_EQ(r.files[i].records, counts[i]);
            EXPECT_EQ(r.files[i].delivered, c.delivered[i]);
            EXPECT_EQ(r.files[i].resends, c.resends[i]);
        }
        if (c.signal == SIGKILL) {
            EXPECT_EQ(got.back().outcome, "failed");
            EXPECT_EQ(got.back().failureClass, "port");
        }
    }
    // A configuration that does not load ends the attempt before any sequence: recorded too.
    TempDir empty;
    const fs::path record = records.Path() / "no configuration" / "upgrades.jsonl";
    ChildProcess cli(SORVEL_CLI_PATH, {"--port", "/nonexistent/port", "--record", record.string(),
                                       empty.Path().string()});
    EXPECT_EQ(cli.Wait(), 1);
    const auto got = ReadRecords(record);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].outcome, "failed");
    EXPECT_EQ(got[0].failureClass, "configuration");
    EXPECT_EQ(got[0].reason.rfind("Error 0x3c00 : Configuration File not found !", 0), 0u)
        << got[0].reason;
    EXPECT_TRUE(got[0].files.empty());
}

// A record that cannot be written is said once, and the upgrade goes on.
TEST_F(CliRecordTest, ARecordThatCannotBeWrittenIsSaidOnceAndTheUpgradeGoesOn) {
    // A record that is a folder, and one whose folder is a file.
    const fs::path notAFile = records.Path() / "upgrades.jsonl";
    fs::create_directories(notAFile);
    const fs::path notAFolder = dir.Write("plain", "x");
    for (const std::string& record :
         std::vector<std::string>{notAFile.string(), (notAFolder / "upgrades.jsonl").string()}) {
        SCOPED_TRACE(record);
        const auto box = StartBox({FilePath("sti.urt")});
        ChildProcess cli(SORVEL_CLI_PATH, {"--port", box->SlavePath(), "--mode", "sti", "--yes",
                                           "--record", record, dir.Path().string()});
        EXPECT_EQ(cli.Wait(), 0) << cli.err;
        const std::string said = "sorvel-cli: the upgrade record is off: ";
        const auto first = cli.err.find(said);
        EXPECT_NE(first, std::string::npos) << cli.err;
        EXPECT_EQ(cli.err.find(said, first + 1), std::string::npos) << cli.err;
        ExpectFilesArrived(*box, 1);
    }
}

// Two processes appending at once: every record a line of its own, whole.
TEST(RecordFileTest, TwoProcessesAppendingAtOnceLeaveEveryLineWhole) {
    TempDir folder;
    const std::string path = (folder.Path() / "deep" / "upgrades.jsonl").string();
    constexpr int kEach = 1000;
    std::vector<pid_t> children;
    for (const char* program : {"first", "second"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            UpgradeAttempt attempt;
            attempt.program = program;
            // Long enough that a torn write would show.
            attempt.reason = std::string(3000, program[0]);
            int failed = 0;
            for (int i = 0; i < kEach; ++i) {
                attempt.unit = std::to_string(i);
                failed += sorvel::record::AppendRecord(path, attempt, nullptr) ? 0 : 1;
            }
            ::_exit(failed == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::size_t lines = 0;
    const auto got = ReadRecords(path, &lines);
    EXPECT_EQ(lines, 2u * kEach);
    std::map<std::string, int> next;
    for (const auto& r : got) {
        // In order per writer, none lost.
        EXPECT_EQ(r.unit, std::to_string(next[r.program]++));
        EXPECT_EQ(r.reason, std::string(3000, r.program[0]));
    }
    EXPECT_EQ(next["first"], kEach);
    EXPECT_EQ(next["second"], kEach);
}

} // namespace
