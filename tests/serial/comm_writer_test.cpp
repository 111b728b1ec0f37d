// The writer: whole records from concurrent writers, waiting for the line, and the thread exit
// event when the port goes away under a waiting write.
#include "Comm.h"
#include "PtyPair.h"
#include "RecordingPresenter.h"
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sys/ioctl.h>
#include <thread>

using namespace std::chrono_literals;

namespace sorvel::test {
namespace {

class CommWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_dcbComm = StandardDcb();
        port = CommOpen(pty.SlavePath().c_str());
        ASSERT_NE(port, nullptr) << CommLastOpenError();
    }
    void TearDown() override {
        if (port)
            CommClose(port);
    }
    // Starts a write of count bytes on another thread.
    std::future<int> WriteAsync(std::size_t count, char fill = 'w') {
        return std::async(std::launch::async, [this, count, fill] {
            std::string bytes(count, fill);
            return CommWrite(port, bytes.data(), static_cast<int>(bytes.size()));
        });
    }
    // Waits until the line's buffers are full, so that a write has to wait.
    bool WaitUntilLineIsFull(std::size_t atLeast) {
        return WaitUntil(
            [&] {
                int n = 0;
                ioctl(pty.Master(), FIONREAD, &n);
                return static_cast<std::size_t>(n) >= atLeast;
            },
            5s);
    }

    RecordingPresenter presenter;
    PtyPair pty;
    HCOMM port = nullptr;
};

TEST_F(CommWriterTest, RecordsFromTwoThreadsNeverInterleave) {
    // Each writer sends records of its own letter, large enough that the line fills and writes
    // have to wait part-way.
    constexpr int kRecords = 150;
    constexpr std::size_t kBody = 700;
    auto writer = [&](char letter) {
        std::string record(4 + kBody, letter);
        record[0] = 0x02;
        record[1] = 0;
        record[2] = static_cast<char>(kBody >> 8);
        record[3] = static_cast<char>(kBody & 0xFF);
        for (int i = 0; i < kRecords; ++i)
            EXPECT_EQ(CommWrite(port, record.data(), static_cast<int>(record.size())),
                      static_cast<int>(record.size()));
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    const std::size_t total = 2 * kRecords * (4 + kBody);
    auto bytes = pty.Receive(total, 30s);
    a.join();
    b.join();
    ASSERT_EQ(bytes.size(), total);
    std::size_t pos = 0;
    int counts[2] = {0, 0};
    while (pos < bytes.size()) {
        ASSERT_EQ(bytes[pos], 0x02) << "record header expected at " << pos;
        std::size_t length = (std::size_t{bytes[pos + 2]} << 8) | bytes[pos + 3];
        ASSERT_EQ(length, kBody);
        std::uint8_t letter = bytes[pos + 4];
        ASSERT_TRUE(letter == 'A' || letter == 'B');
        for (std::size_t i = 0; i < kBody; ++i)
            ASSERT_EQ(bytes[pos + 4 + i], letter) << "records interleave at " << pos + 4 + i;
        ++counts[letter - 'A'];
        pos += 4 + kBody;
    }
    EXPECT_EQ(counts[0], kRecords);
    EXPECT_EQ(counts[1], kRecords);
    EXPECT_EQ(presenter.Count(), 0u);
}

TEST_F(CommWriterTest, AWriteWaitsForTheLineWithoutTimeLimit) {
    constexpr std::size_t kCount = 256 * 1024;
    auto write = WriteAsync(kCount);
    ASSERT_TRUE(WaitUntilLineIsFull(1024));
    // The far end has not read: the write is still waiting.
    EXPECT_EQ(write.wait_for(100ms), std::future_status::timeout);
    auto bytes = pty.Receive(kCount, 30s);
    EXPECT_EQ(bytes.size(), kCount);
    EXPECT_EQ(write.get(), static_cast<int>(kCount));
    EXPECT_FALSE(CommExitEventIsSet(port));
    EXPECT_EQ(presenter.Count(), 0u);
}

TEST_F(CommWriterTest, AHangUpAbortsAWaitingWriteAndLaterWritesDoNotWait) {
    constexpr std::size_t kCount = 256 * 1024;
    auto write = WriteAsync(kCount);
    ASSERT_TRUE(WaitUntilLineIsFull(1024));
    pty.HangUp();
    ASSERT_EQ(write.wait_for(10s), std::future_status::ready);
    int written = write.get();
    EXPECT_LT(written, static_cast<int>(kCount));
    EXPECT_TRUE(CommExitEventIsSet(port));
    EXPECT_EQ(presenter.Texts(), std::vector<std::string>{"Error - Cannot write data in to port."});
    // Once the exit event is set nothing waits and the message is not repeated.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CommWrite(port, "abc", 3), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(presenter.Count(), 1u);
}

TEST_F(CommWriterTest, ClosingThePortReleasesAWaitingWrite) {
    constexpr std::size_t kCount = 256 * 1024;
    auto write = WriteAsync(kCount);
    ASSERT_TRUE(WaitUntilLineIsFull(1024));
    EXPECT_EQ(CommClose(port), 1);
    port = nullptr;
    ASSERT_EQ(write.wait_for(10s), std::future_status::ready);
    EXPECT_LT(write.get(), static_cast<int>(kCount));
    EXPECT_EQ(presenter.Count(), 0u);
    // The device is free for the next connection, whose exit event is clear.
    HCOMM again = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(again, nullptr) << CommLastOpenError();
    EXPECT_FALSE(CommExitEventIsSet(again));
    CommClose(again);
}

TEST_F(CommWriterTest, NothingToWriteOrNoPortWritesNothing) {
    EXPECT_EQ(CommWrite(port, "x", 0), 0);
    EXPECT_EQ(CommWrite(port, nullptr, 5), 0);
    EXPECT_EQ(CommWrite(nullptr, "x", 1), 0);
    EXPECT_EQ(CommWrite(port, "\x17", 1), 1);
    EXPECT_EQ(pty.Receive(1, 5s), std::vector<std::uint8_t>{0x17});
    EXPECT_EQ(presenter.Count(), 0u);
}

} // namespace
} // namespace sorvel::test
