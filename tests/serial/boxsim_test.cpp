// The box simulator: a small uploader in the test speaks the engine's side of the protocol, the
// simulator checks what arrives and injects its faults; and the simulator program.
#include "BoxSimulator.h"
#include "TempDir.h"
#include "UploadFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace sorvel::test {
namespace {

using boxsim::BoxSimulator;
using boxsim::Options;
using boxsim::Report;
using upload::MakeSampleFile;

// The records of an upload file as they go on the wire.
std::vector<std::string> Records(const std::vector<std::uint8_t>& file) {
    std::vector<std::string> records;
    std::size_t pos = 6;
    while (pos + 4 <= file.size()) {
        std::size_t length =
            (std::size_t{file[pos + 1]} << 16) | (std::size_t{file[pos + 2]} << 8) | file[pos + 3];
        records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos),
                             file.begin() + static_cast<std::ptrdiff_t>(pos + length + 9));
        pos += length + 9;
    }
    return records;
}

std::function<bool()> Completed(const BoxSimulator& box, std::size_t files) {
    return [&box, files] { return box.GetReport().filesCompleted >= files; };
}

// The engine's side of the protocol in a few lines, on a plain descriptor of the box's port (the
// channel has tests of its own; the engine's tests run it against the box).
class Uploader {
public:
    explicit Uploader(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~Uploader() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Connected() const { return m_fd >= 0; }

    struct Result {
        std::size_t sent = 0; // new records, resends not counted
        std::string data;     // bytes that are no protocol bytes
    };
    // Wakes the box (every 20 ms until it answers), then answers its requests until `until` holds
    // (by default: every record went out), `limit` records went out (as an engine that was
    // cancelled), the line hangs up or the time-out passes. The record numbered `corrupt` goes out
    // damaged once.
    Result Upload(const std::vector<std::string>& records, std::function<bool()> until = nullptr,
                  std::size_t limit = SIZE_MAX, int corrupt = -1,
                  std::chrono::milliseconds timeout = 10s) {
        Result r;
        if (!until)
            until = [&] { return r.sent == records.size(); };
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t last = SIZE_MAX;
        bool ready = false;
        auto wakeUp = deadline - timeout;
        while (!until() && r.sent < limit && std::chrono::steady_clock::now() < deadline) {
            if (!ready && std::chrono::steady_clock::now() >= wakeUp) {
                Write("\x17");
                wakeUp += 20ms;
            }
            pollfd p{m_fd, POLLIN, 0};
            char bytes[256];
            if (::poll(&p, 1, 5) <= 0)
                continue;
            const ssize_t n = ::read(m_fd, bytes, sizeof bytes);
            if (n <= 0)
                break; // hung up
            for (ssize_t i = 0; i < n; ++i) {
                const auto byte = static_cast<std::uint8_t>(bytes[i]);
                if (byte == boxsim::kAck) {
                    ready = true;
                } else if (byte == boxsim::kEnq && ready && r.sent < records.size()) {
                    last = r.sent++;
                    std::string record = records[last];
                    if (static_cast<int>(last) == corrupt)
                        record[record.size() / 2] ^= 0x5A;
                    Write(record);
                } else if (byte == boxsim::kNak && last != SIZE_MAX) {
                    Write(records[last]);
                } else if (byte != boxsim::kEnq && byte != boxsim::kNak) {
                    r.data += bytes[i];
                }
            }
        }
        return r;
    }

    void Send(const std::string& bytes) { Write(bytes); }

private:
    void Write(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    int m_fd;
};

// A box with the options, expecting the files, started.
std::unique_ptr<BoxSimulator> Box(Options options,
                                  const std::vector<std::vector<std::uint8_t>>& files) {
    auto box = std::make_unique<BoxSimulator>(std::move(options));
    EXPECT_TRUE(box->Ok()) << box->Error();
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_TRUE(box->ExpectBytes(files[i], "file" + std::to_string(i + 1) + ".urt"));
    EXPECT_TRUE(box->Start());
    return box;
}

TEST(BoxSimulator, FilesArriveIntactOneAfterTheOtherWithResendsAndGarbage) {
    auto first = MakeSampleFile(5, 265, 1);
    auto second = MakeSampleFile(4, 1000, 9);
    Options options;
    options.nakEvery = 3;
    options.garbageEvery = 2;
    auto box = Box(options, {first, second});
    std::string data = Uploader(box->SlavePath()).Upload(Records(first), Completed(*box, 1)).data;
    // The next file starts with a new handshake, after the port was closed and opened again.
    data += Uploader(box->SlavePath()).Upload(Records(second), Completed(*box, 2)).data;

    Report r = box->GetReport();
    EXPECT_TRUE(r.AllIntact());
    EXPECT_EQ(r.filesExpected, 2u);
    EXPECT_EQ(r.handshakesAnswered, 2u);
    EXPECT_EQ(r.resends, 3u); // after new records 3, 6 and 9
    EXPECT_EQ(r.recordsVerified, 12u);
    EXPECT_EQ(r.strayBytes, 0u);
    EXPECT_GE(r.wakeUps, 2u);
    EXPECT_NE(data.find("BOX>"), std::string::npos);
}

TEST(BoxSimulator, AWrongRecordIsReportedAndAskedForAgain) {
    auto file = MakeSampleFile(4, 300, 3);
    auto box = Box({}, {file});
    Uploader(box->SlavePath()).Upload(Records(file), Completed(*box, 1), SIZE_MAX, /*corrupt=*/1);
    Report r = box->GetReport();
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("record 2"), std::string::npos) << r.errors[0];
    EXPECT_EQ(r.recordsReceived, 5u);
    EXPECT_FALSE(r.AllIntact());
}

TEST(BoxSimulator, ANewHandshakePartWayStartsTheFileAgain) {
    auto file = MakeSampleFile(4, 80, 7);
    auto box = Box({}, {file});
    Uploader uploader(box->SlavePath());
    EXPECT_EQ(uploader.Upload(Records(file), nullptr, /*limit=*/2).sent, 2u);
    ASSERT_TRUE(box->WaitForRecords(2, 10s));
    // Cancelled and started again: the box answers the new handshake and takes the whole file.
    uploader.Upload(Records(file), Completed(*box, 1));
    Report r = box->GetReport();
    EXPECT_TRUE(r.AllIntact()) << (r.errors.empty() ? "" : r.errors[0]);
    EXPECT_EQ(r.recordsReceived, 6u);
    EXPECT_EQ(r.handshakesAnswered, 2u);
}

TEST(BoxSimulator, FilesThatAreNoUploadFilesAreRefused) {
    BoxSimulator box;
    std::string error;
    EXPECT_FALSE(box.ExpectBytes({'A', 'B', 0, 0, 0, 1}, "ab.urt", &error));
    EXPECT_NE(error.find("ab.urt"), std::string::npos);
    auto file = MakeSampleFile(2, 50, 1);
    file.resize(file.size() - 1);
    EXPECT_FALSE(box.ExpectBytes(file, "cut.urt", &error));
    EXPECT_FALSE(box.Expect("/no/such/file.urt", &error));
}

TEST(BoxSimulator, StopsAskingOrHangsUpAfterTheChosenNumberOfRecords) {
    auto file = MakeSampleFile(5, 40, 1);
    Options stops;
    stops.stopAfter = 2;
    auto box = Box(stops, {file});
    // Nothing signals that the box asks no more: a span of many request times shows it.
    auto result = Uploader(box->SlavePath())
                      .Upload(
                          Records(file), [] { return false; }, SIZE_MAX, -1, 300ms);
    EXPECT_EQ(result.sent, 2u);
    EXPECT_EQ(box->GetReport().requestsSent, 2u);

    Options hangs;
    hangs.hangUpAfter = 1;
    box = Box(hangs, {file});
    Uploader(box->SlavePath()).Upload(Records(file), [&] { return box->GetReport().hungUp; });
    // The uploader may see the line drop before the box has noted it.
    EXPECT_TRUE(box->WaitFor([](const Report& r) { return r.hungUp; }, 5s));
    EXPECT_EQ(box->GetReport().recordsReceived, 1u);
}

TEST(BoxSimulator, AnEmulatedLineSpeedPacesTheRequests) {
    Options options;
    options.baud = 9600;
    auto file = MakeSampleFile(4, 100, 1);
    auto box = Box(options, {file});
    const auto start = std::chrono::steady_clock::now();
    Uploader(box->SlavePath()).Upload(Records(file), Completed(*box, 1));
    // Each record asked for only after the previous one's wire time (100 bytes at 10 bits a
    // byte: 104 ms).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(box->GetReport().AllIntact());
}

TEST(BoxSimulator, TheLastRecordOfAFileIsRefusedOnceOrForEver) {
    using NakLast = Options::NakLast;
    struct {
        NakLast nakLast;
        unsigned nakEvery, baud;
        std::size_t completed, resends; // resends: at least, in a storm
    } const cases[] = {
        {NakLast::Once, 0, 0, 1, 1},
        {NakLast::Once, 2, 0, 1, 2},         // record 2 for nakEvery, record 3 as the last
        {NakLast::Once, 3, 0, 1, 1},         // both pick record 3: one NAK serves both
        {NakLast::Always, 0, 115200, 0, 10}, // each NAK after the wire time, as an ENQ
    };
    const auto file = MakeSampleFile(3, 60, 5);
    for (const auto& c : cases) {
        Options options;
        options.nakLast = c.nakLast;
        options.nakEvery = c.nakEvery;
        options.baud = c.baud;
        auto box = Box(options, {file});
        Uploader(box->SlavePath()).Upload(Records(file), [&] {
            Report r = box->GetReport();
            return r.filesCompleted > 0 || (!c.completed && r.resends >= c.resends);
        });
        Report r = box->GetReport();
        EXPECT_EQ(r.filesCompleted, c.completed) << "case " << &c - cases;
        EXPECT_TRUE(c.completed ? r.resends == c.resends : r.resends >= c.resends) << r.resends;
    }
}

TEST(BoxSimulator, RepeatTakesTheFilesAgainRoundAfterRound) {
    const std::vector<std::vector<std::uint8_t>> files{MakeSampleFile(2, 50, 1),
                                                       MakeSampleFile(3, 70, 4)};
    Options options;
    options.repeat = true;
    options.nakLast = Options::NakLast::Once; // once per file in every round
    auto box = Box(options, files);
    for (std::size_t done = 0; done < 4; ++done) {
        Uploader(box->SlavePath()).Upload(Records(files[done % 2]), Completed(*box, done + 1));
        Report r = box->GetReport();
        EXPECT_EQ(r.filesCompleted, done + 1);
        // A round counts whole from its first record on: halfway through it, AllIntact fails.
        EXPECT_EQ(r.filesExpected, done < 2 ? 2u : 4u);
        EXPECT_EQ(r.AllIntact(), done % 2 == 1);
        // It keeps no more than the file in progress needs: nothing, between files.
        EXPECT_TRUE(box->Received().empty());
    }
    EXPECT_EQ(box->GetReport().resends, 4u);
}

// A box switched off and on when its client lets go of the port: whatever the client had sent of
// a sequence (whole files, records, half a record), a client that opens the port again right away
// has the whole sequence taken from the first file.
TEST(BoxSimulator, APowerCycleWhenTheClientLetsGoStartsAgainAtTheFirstFile) {
    const std::vector<std::vector<std::uint8_t>> files{MakeSampleFile(3, 50, 1),
                                                       MakeSampleFile(4, 70, 2)};
    const std::vector<std::string> records[] = {Records(files[0]), Records(files[1])};
    struct {
        const char* what;
        bool repeat;
        std::size_t wholeFiles, records; // sent before the client lets go
        bool halfRecord;                 // and the first half of the next record
        std::size_t expected;            // Report::filesExpected at the end
    } const cases[] = {
        {"halfway through the first file", false, 0, 2, false, 2},
        {"between the files", false, 1, 0, false, 3},
        {"in the middle of a record of the second file", false, 1, 1, true, 3},
        {"with repeat, in the second file", true, 1, 2, false, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Options options;
        options.powerCycle = true;
        options.repeat = c.repeat;
        auto box = Box(options, files);
        {
            Uploader first(box->SlavePath());
            for (std::size_t f = 0; f < c.wholeFiles; ++f)
                first.Upload(records[f], Completed(*box, f + 1));
            if (c.records != 0) {
                first.Upload(records[c.wholeFiles], nullptr, c.records);
                ASSERT_TRUE(box->WaitForRecords(3 * c.wholeFiles + c.records, 5s));
            }
            if (c.halfRecord) {
                const std::string& next = records[c.wholeFiles][c.records];
                const std::size_t before = box->Received().size();
                first.Send(next.substr(0, next.size() / 2));
                ASSERT_TRUE(box->WaitForReceived(before + next.size() / 2, 5s));
            }
        }
        Uploader second(box->SlavePath());
        second.Upload(records[0], Completed(*box, c.wholeFiles + 1));
        second.Upload(records[1], Completed(*box, c.wholeFiles + 2));
        const Report r = box->GetReport();
        EXPECT_TRUE(r.errors.empty()) << r.errors.front();
        EXPECT_EQ(r.filesCompleted, c.wholeFiles + 2);
        EXPECT_EQ(r.filesExpected, c.expected);
        EXPECT_EQ(r.powerCycles, 1u);
        EXPECT_TRUE(r.AllIntact());
    }
}

// A client killed while it held the port (flock, then the exclusive-open flag) cannot clear the
// flag, and the box's own descriptor keeps the port open: the box clears it, and only then.
TEST(BoxSimulator, ClearsTheExclusiveOpenFlagOfAClientThatWentAway) {
    auto box = Box(Options{}, {});
    const int client = ::open(box->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::flock(client, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(client, TIOCEXCL), 0);
    std::this_thread::sleep_for(1200ms); // the box looks every half second
    EXPECT_TRUE(box->ClientHoldsPort()) << "cleared while the client still held the port";
    ::close(client); // as a killed process's descriptors are closed: the flag stays
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (box->ClientHoldsPort() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(box->ClientHoldsPort());
}

// The program as a script uses it: the port path on the first line, a link to it, and an exit
// status that says whether every file arrived. A client that let go of the port part-way through
// the file finds the box switched off and on.
TEST(BoxSimulatorProgram, PrintsThePortLinksItAndExitsZeroWhenTheFileArrived) {
    TempDir dir;
    auto bytes = MakeSampleFile(3, 120, 4);
    auto file = dir.Write("box.urt", bytes);
    auto link = dir.Path() / "com1";
    std::string command = std::string(SORVEL_BOXSIM_PROGRAM) +
                          " --timeout 30 --nak-every 2 --link " + link.string() + " " +
                          file.string();
    FILE* box = popen(command.c_str(), "r");
    ASSERT_NE(box, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, box), nullptr);
    std::string path(line);
    ASSERT_FALSE(path.empty());
    path.pop_back();
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
    std::string output;
    {
        // Its second record is refused: the client lets go once the box has said so.
        Uploader partial(link.string());
        EXPECT_EQ(partial.Upload(Records(bytes), nullptr, 2).sent, 2u);
        while (output.find("NAK: asked for a resend") == std::string::npos &&
               fgets(line, sizeof line, box))
            output += line;
    }
    {
        Uploader uploader(link.string());
        ASSERT_TRUE(uploader.Connected());
        EXPECT_EQ(uploader.Upload(Records(bytes), nullptr, SIZE_MAX, -1, 20s).sent, 3u);
    }
    while (fgets(line, sizeof line, box))
        output += line;
    int status = pclose(box);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    // Records 2 and 4 were refused; the first client had gone before it could send 2 again.
    EXPECT_NE(output.find("box: received 1 of 1 files intact, 6 records (1 resends)"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("box: power cycles part-way: 1"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(BoxSimulatorProgram, FailsWhenAFileDoesNotArriveAndRefusesBadOptions) {
    TempDir dir;
    auto file = dir.Write("box.urt", MakeSampleFile(1, 20, 1));
    auto run = [](const std::string& args) {
        std::string command = std::string(SORVEL_BOXSIM_PROGRAM) + " " + args + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("--timeout 1 " + file.string()), 1);
    EXPECT_EQ(run("--no-such-option"), 2);
    EXPECT_EQ(run("--nak-every x"), 2);
    EXPECT_EQ(run("--nak-last sometimes"), 2);
    EXPECT_EQ(run("/no/such/file.urt"), 2);
    EXPECT_EQ(run("--records 3"), 2);
    EXPECT_EQ(run("--write-upload-file x.urt --records 3 --record-bytes 8"), 2);
    EXPECT_EQ(run("--help"), 0);
}

// The demo's upload files come from the program, as the tests' from the library.
TEST(BoxSimulatorProgram, WritesAnUploadFile) {
    TempDir dir;
    const auto path = dir.Path() / "sti.urt";
    const std::string command = std::string(SORVEL_BOXSIM_PROGRAM) + " --write-upload-file " +
                                path.string() + " --records 3 --record-bytes 640 --seed 7";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(path), MakeSampleFile(3, 640, 7));
}

} // namespace
} // namespace sorvel::test
