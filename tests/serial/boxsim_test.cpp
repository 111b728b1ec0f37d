// The box simulator against the real channel: a small uploader in the test speaks the engine's
// side of the protocol, the simulator checks what arrives and injects its faults.
#include "BoxSimulator.h"
#include "Comm.h"
#include "RecordingPresenter.h"
#include "SerialTestSupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace sorvel::test {
namespace {

using boxsim::BoxSimulator;
using boxsim::Options;
using boxsim::Report;

std::vector<std::vector<std::uint8_t>> Bodies(std::size_t count, std::size_t recordSize,
                                              std::uint8_t seed) {
    std::vector<std::vector<std::uint8_t>> bodies;
    for (std::size_t i = 0; i < count; ++i)
        bodies.push_back(boxsim::MakeRecordBody(recordSize, static_cast<std::uint8_t>(seed + i)));
    return bodies;
}

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

// The engine's side of the protocol in a few lines, over the channel under test.
class Uploader {
public:
    explicit Uploader(const std::string& path) {
        s_current = this;
        g_dcbComm = StandardDcb();
        m_port = CommOpen(path.c_str(), nullptr);
        if (m_port)
            m_reader = CommStartReader(m_port, &Uploader::Receive);
    }
    ~Uploader() {
        StopHandshake();
        CommStopReader(m_reader);
        // A callback already running goes on after the stop; it must not outlive this object.
        m_signal.WaitFor([this] { return m_inside == 0; }, 10s);
        CommClose(m_port);
        s_current = nullptr;
    }
    bool Connected() const { return m_port && m_reader; }
    HCOMM Port() const { return m_port; }

    // Starts uploading: wakes the box until it answers, then answers its requests.
    // With limit, stops answering after that many records (as an engine that was cancelled).
    void Upload(std::vector<std::string> records, int corruptOnce = -1,
                std::size_t limit = SIZE_MAX) {
        StopHandshake();
        m_signal.Update([&] {
            m_records = std::move(records);
            m_next = 0;
            m_last = -1;
            m_ready = false;
            m_done = false;
            m_corrupt = corruptOnce;
            m_limit = limit;
        });
        m_handshake = std::thread([this] {
            for (;;) {
                CommWrite(m_port, "\x17", 1);
                if (m_signal.WaitFor([this] { return m_ready || m_stopHandshake; }, 20ms))
                    return;
            }
        });
    }
    bool WaitDone(std::chrono::milliseconds timeout) {
        return m_signal.WaitFor([this] { return m_done; }, timeout);
    }
    std::size_t Sent() {
        std::lock_guard lock(m_signal.Mutex());
        return m_next;
    }
    bool Ready() {
        std::lock_guard lock(m_signal.Mutex());
        return m_ready;
    }
    std::string Data() {
        std::lock_guard lock(m_signal.Mutex());
        return m_data;
    }

private:
    static int Receive(char* bytes, int count) {
        Uploader& u = *s_current;
        u.m_signal.Update([&] { ++u.m_inside; });
        for (int i = 0; i < count; ++i) {
            std::string record;
            u.m_signal.Update([&] {
                switch (static_cast<std::uint8_t>(bytes[i])) {
                case boxsim::kAck:
                    u.m_ready = true;
                    break;
                case boxsim::kEnq:
                    if (u.m_ready && u.m_next < u.m_records.size() && u.m_next < u.m_limit) {
                        record = u.m_records[u.m_next];
                        if (static_cast<int>(u.m_next) == u.m_corrupt) {
                            record[record.size() / 2] ^= 0x5A;
                            u.m_corrupt = -1;
                        }
                        u.m_last = static_cast<int>(u.m_next++);
                        u.m_done = u.m_next == u.m_records.size();
                    }
                    break;
                case boxsim::kNak:
                    if (u.m_last >= 0)
                        record = u.m_records[static_cast<std::size_t>(u.m_last)];
                    break;
                default:
                    u.m_data += bytes[i];
                }
            });
            if (!record.empty())
                CommWrite(u.m_port, record.data(), static_cast<int>(record.size()));
        }
        u.m_signal.Update([&] { --u.m_inside; });
        return 1;
    }
    void StopHandshake() {
        if (!m_handshake.joinable())
            return;
        m_signal.Update([this] { m_stopHandshake = true; });
        m_handshake.join();
        m_signal.Update([this] { m_stopHandshake = false; });
    }

    static inline Uploader* s_current = nullptr;
    HCOMM m_port = nullptr;
    HCOMMREADER m_reader = nullptr;
    std::thread m_handshake;
    Signal m_signal;
    std::vector<std::string> m_records;
    std::size_t m_next = 0;
    int m_last = -1;
    int m_corrupt = -1;
    std::size_t m_limit = SIZE_MAX;
    bool m_ready = false;
    bool m_done = false;
    bool m_stopHandshake = false;
    int m_inside = 0; // receive callbacks running
    std::string m_data;
};

TEST(BoxSimulator, FilesArriveIntactOneAfterTheOtherWithResendsAndGarbage) {
    RecordingPresenter presenter;
    auto first = boxsim::MakeUploadFile(Bodies(5, 265, 1));
    auto second = boxsim::MakeUploadFile(Bodies(4, 1000, 9));
    Options options;
    options.nakEvery = 3;
    options.garbageEvery = 2;
    BoxSimulator box(options);
    ASSERT_TRUE(box.Ok()) << box.Error();
    ASSERT_TRUE(box.ExpectBytes(first, "first.urt"));
    ASSERT_TRUE(box.ExpectBytes(second, "second.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    ASSERT_TRUE(uploader.Connected()) << CommLastOpenError();

    uploader.Upload(Records(first));
    ASSERT_TRUE(uploader.WaitDone(10s));
    ASSERT_TRUE(box.WaitForFilesCompleted(1, 10s));
    // The next file starts with a new handshake in the same connection.
    uploader.Upload(Records(second));
    ASSERT_TRUE(uploader.WaitDone(10s));
    ASSERT_TRUE(box.WaitForFilesCompleted(2, 10s));

    Report r = box.GetReport();
    EXPECT_TRUE(r.AllIntact());
    EXPECT_EQ(r.filesExpected, 2u);
    EXPECT_EQ(r.handshakesAnswered, 2u);
    EXPECT_EQ(r.resends, 3u); // after new records 3, 6 and 9
    EXPECT_EQ(r.recordsVerified, 12u);
    EXPECT_EQ(r.strayBytes, 0u);
    EXPECT_GE(r.wakeUps, 2u);
    EXPECT_NE(uploader.Data().find("BOX>"), std::string::npos);
    EXPECT_EQ(presenter.Count(), 0u);
}

TEST(BoxSimulator, AWrongRecordIsReportedAndAskedForAgain) {
    auto file = boxsim::MakeUploadFile(Bodies(4, 300, 3));
    BoxSimulator box;
    ASSERT_TRUE(box.ExpectBytes(file, "file.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    ASSERT_TRUE(uploader.Connected());
    uploader.Upload(Records(file), /*corruptOnce=*/1);
    ASSERT_TRUE(box.WaitForFilesCompleted(1, 10s));
    Report r = box.GetReport();
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("record 2"), std::string::npos) << r.errors[0];
    EXPECT_EQ(r.recordsReceived, 5u);
    EXPECT_FALSE(r.AllIntact());
}

TEST(BoxSimulator, ANewHandshakePartWayStartsTheFileAgain) {
    auto file = boxsim::MakeUploadFile(Bodies(4, 80, 7));
    BoxSimulator box;
    ASSERT_TRUE(box.ExpectBytes(file, "file.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    uploader.Upload(Records(file), -1, /*limit=*/2);
    ASSERT_TRUE(box.WaitForRecords(2, 10s));
    // Cancelled and started again: the box answers the new handshake and takes the whole file.
    uploader.Upload(Records(file));
    ASSERT_TRUE(box.WaitForFilesCompleted(1, 10s));
    Report r = box.GetReport();
    EXPECT_TRUE(r.AllIntact()) << (r.errors.empty() ? "" : r.errors[0]);
    EXPECT_EQ(r.recordsReceived, 6u);
    EXPECT_EQ(r.handshakesAnswered, 2u);
}

TEST(BoxSimulator, FilesThatAreNoUploadFilesAreRefused) {
    BoxSimulator box;
    std::string error;
    EXPECT_FALSE(box.ExpectBytes({'A', 'B', 0, 0, 0, 1}, "ab.urt", &error));
    EXPECT_NE(error.find("ab.urt"), std::string::npos);
    auto file = boxsim::MakeUploadFile(Bodies(2, 50, 1));
    file.resize(file.size() - 1);
    EXPECT_FALSE(box.ExpectBytes(file, "cut.urt", &error));
    EXPECT_FALSE(box.Expect("/no/such/file.urt", &error));
}

TEST(BoxSimulator, ASilentBoxOnlyCountsTheWakeUps) {
    Options options;
    options.answerHandshake = false;
    BoxSimulator box(options);
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    uploader.Upload(Records(boxsim::MakeUploadFile(Bodies(1, 20, 1))));
    ASSERT_TRUE(box.WaitForWakeUps(4, 10s));
    EXPECT_FALSE(uploader.Ready());
    EXPECT_EQ(box.GetReport().handshakesAnswered, 0u);
}

TEST(BoxSimulator, StopsAskingAfterTheChosenNumberOfRecords) {
    Options options;
    options.stopAfter = 2;
    auto file = boxsim::MakeUploadFile(Bodies(5, 40, 1));
    BoxSimulator box(options);
    ASSERT_TRUE(box.ExpectBytes(file, "file.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    uploader.Upload(Records(file));
    ASSERT_TRUE(box.WaitForRecords(2, 10s));
    EXPECT_FALSE(uploader.WaitDone(200ms));
    EXPECT_EQ(uploader.Sent(), 2u);
    EXPECT_EQ(box.GetReport().requestsSent, 2u);
}

TEST(BoxSimulator, HangingUpLeavesTheChannelQuietAfterOneMessage) {
    RecordingPresenter presenter;
    Options options;
    options.hangUpAfter = 1;
    auto file = boxsim::MakeUploadFile(Bodies(3, 40, 1));
    BoxSimulator box(options);
    ASSERT_TRUE(box.ExpectBytes(file, "file.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    uploader.Upload(Records(file));
    ASSERT_TRUE(box.WaitFor([](const Report& r) { return r.hungUp; }, 10s));
    EXPECT_EQ(box.GetReport().recordsReceived, 1u);
    EXPECT_EQ(CommWrite(uploader.Port(), "\x17", 1), 0);
    EXPECT_EQ(CommWrite(uploader.Port(), "\x17", 1), 0);
    EXPECT_LE(presenter.Count(), 1u);
}

TEST(BoxSimulator, AnEmulatedLineSpeedPacesTheRequests) {
    Options options;
    options.baud = 9600;
    auto file = boxsim::MakeUploadFile(Bodies(4, 100, 1));
    BoxSimulator box(options);
    ASSERT_TRUE(box.ExpectBytes(file, "file.urt"));
    ASSERT_TRUE(box.Start());
    Uploader uploader(box.SlavePath());
    uploader.Upload(Records(file));
    ASSERT_TRUE(box.WaitForRecords(1, 10s));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(box.WaitForFilesCompleted(1, 10s));
    // Three more records, each asked for only after the previous one's wire time
    // (100 bytes at 10 bits a byte: 104 ms).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(box.GetReport().AllIntact());
}

TEST(BoxSimulator, ThePortCanBeClosedAndOpenedAgainWhileTheBoxRuns) {
    BoxSimulator box;
    ASSERT_TRUE(box.Start());
    for (int i = 0; i < 3; ++i) {
        Uploader uploader(box.SlavePath());
        ASSERT_TRUE(uploader.Connected()) << CommLastOpenError();
        uploader.Upload(Records(boxsim::MakeUploadFile(Bodies(1, 30, 1))));
        ASSERT_TRUE(uploader.WaitDone(10s));
    }
}

} // namespace
} // namespace sorvel::test

namespace sorvel::test {
namespace {

// The program as a script uses it: the port path on the first line, a link to it, and an exit
// status that says whether every file arrived.
TEST(BoxSimulatorProgram, PrintsThePortLinksItAndExitsZeroWhenTheFileArrived) {
    TempDir dir;
    auto bytes = boxsim::MakeUploadFile(Bodies(3, 120, 4));
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
    {
        Uploader uploader(link.string());
        ASSERT_TRUE(uploader.Connected()) << CommLastOpenError();
        uploader.Upload(Records(bytes));
        EXPECT_TRUE(uploader.WaitDone(20s));
    }
    std::string output;
    while (fgets(line, sizeof line, box))
        output += line;
    int status = pclose(box);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("box: received 1 of 1 files intact, 4 records (1 resends)"),
              std::string::npos)
        << output;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(BoxSimulatorProgram, FailsWhenAFileDoesNotArriveAndRefusesBadOptions) {
    TempDir dir;
    auto file = dir.Write("box.urt", boxsim::MakeUploadFile(Bodies(1, 20, 1)));
    auto run = [](const std::string& args) {
        std::string command = std::string(SORVEL_BOXSIM_PROGRAM) + " " + args + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("--timeout 1 " + file.string()), 1);
    EXPECT_EQ(run("--no-such-option"), 2);
    EXPECT_EQ(run("--nak-every x"), 2);
    EXPECT_EQ(run("/no/such/file.urt"), 2);
    EXPECT_EQ(run("--help"), 0);
}

} // namespace
} // namespace sorvel::test
