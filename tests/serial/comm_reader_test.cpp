// The reader thread: delivery, purge, stopping in every situation, and a port that hangs up.
#include "Comm.h"
#include "MessageBox.h"
#include "PtyPair.h"
#include "RecordingPresenter.h"
#include "SerialTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace sorvel::test {
namespace {

// The receive callback is a plain function: the test's state is reached through this pointer.
struct Received {
    Signal signal;
    std::vector<std::uint8_t> bytes;
    std::vector<int> chunks;
    int calls = 0;
    bool stopReturned = false; // set right after CommStopReader returns
    bool calledAfterStop = false;
    bool inside = false;
    clockid_t readerClock{};
    bool haveClock = false;
    // What the callback does besides recording.
    std::function<void()> action;
    HCOMMREADER self = nullptr; // the reader, for a callback that stops it
};
Received* g_received = nullptr;

int Record(char* bytes, int count) {
    Received& r = *g_received;
    std::function<void()> action;
    r.signal.Update([&] {
        r.bytes.insert(r.bytes.end(), bytes, bytes + count);
        r.chunks.push_back(count);
        ++r.calls;
        r.inside = true;
        if (r.stopReturned)
            r.calledAfterStop = true;
        if (!r.haveClock && pthread_getcpuclockid(pthread_self(), &r.readerClock) == 0)
            r.haveClock = true;
        action = r.action;
    });
    if (action)
        action();
    r.signal.Update([&] { r.inside = false; });
    return 1;
}

class CommReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_received = &received;
        g_dcbComm = StandardDcb();
        port = CommOpen(pty.SlavePath().c_str());
        ASSERT_NE(port, nullptr) << CommLastOpenError();
    }
    void TearDown() override {
        if (reader)
            CommStopReader(reader);
        if (port)
            CommClose(port);
        // A stale reader may still be inside the callback; let it finish before the state goes.
        presenter.Unblock();
        received.signal.WaitFor([&] { return !received.inside; }, 10s);
    }
    void Start() {
        reader = CommStartReader(port, Record);
        ASSERT_NE(reader, nullptr);
    }
    bool WaitForBytes(std::size_t n) {
        return received.signal.WaitFor([&] { return received.bytes.size() >= n; }, 10s);
    }
    void StopFromHere() {
        CommStopReader(reader);
        reader = nullptr;
        received.signal.Update([&] { received.stopReturned = true; });
    }

    RecordingPresenter presenter;
    PtyPair pty;
    Received received;
    HCOMM port = nullptr;
    HCOMMREADER reader = nullptr;
};

TEST_F(CommReaderTest, BytesSentBeforeTheReaderStartsArePurged) {
    ASSERT_TRUE(pty.Send("stale bytes"));
    ASSERT_TRUE(WaitUntil([&] { return pty.SlaveInputPending() == 11; }, 5s));
    Start();
    ASSERT_TRUE(pty.Send("fresh"));
    ASSERT_TRUE(WaitForBytes(5));
    std::lock_guard lock(received.signal.Mutex());
    EXPECT_EQ(std::string(received.bytes.begin(), received.bytes.end()), "fresh");
}

TEST_F(CommReaderTest, ABurstArrivesInOrderInChunksOfAtMost2048) {
    Start();
    std::vector<std::uint8_t> burst(3 * 2048 + 777);
    for (std::size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<std::uint8_t>(i * 131 + i / 256);
    ASSERT_TRUE(pty.Send(burst));
    ASSERT_TRUE(WaitForBytes(burst.size()));
    std::lock_guard lock(received.signal.Mutex());
    EXPECT_EQ(received.bytes, burst);
    EXPECT_GE(received.chunks.size(), 4u);
    for (int n : received.chunks) {
        EXPECT_GE(n, 1);
        EXPECT_LE(n, 2048);
    }
    EXPECT_EQ(presenter.Count(), 0u);
}

TEST_F(CommReaderTest, AQuietLineCostsNoMessagesAndStopReturnsPromptly) {
    Start();
    ASSERT_TRUE(pty.Send("x"));
    ASSERT_TRUE(WaitForBytes(1));
    auto start = std::chrono::steady_clock::now();
    StopFromHere();
    // The reader is woken, not waited out: well below its 500 ms wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 450ms);
    EXPECT_EQ(presenter.Count(), 0u);
}

TEST_F(CommReaderTest, StopFromAnotherThreadDoesNotWaitForACallbackBlockedInAMessageBox) {
    presenter.Block();
    std::atomic<bool> stopSeenBefore{true};
    std::atomic<bool> stopSeenAfter{false};
    received.action = [&] {
        stopSeenBefore = CommReaderStopRequested();
        ShowMessageBox("waiting for a person", "test", MB_OK);
        stopSeenAfter = CommReaderStopRequested();
    };
    Start();
    ASSERT_TRUE(pty.Send("a"));
    ASSERT_TRUE(presenter.WaitForCount(1, 10s));

    auto start = std::chrono::steady_clock::now();
    StopFromHere();
    EXPECT_EQ(CommClose(port), 1);
    port = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // The device is free again at once, although the stale reader still holds its descriptor.
    HCOMM again = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(again, nullptr) << CommLastOpenError();

    // Bytes that arrive now go nowhere near the stale reader: it ends when the box closes.
    ASSERT_TRUE(pty.Send("after stop"));
    presenter.Unblock();
    ASSERT_TRUE(received.signal.WaitFor([&] { return !received.inside; }, 10s));
    CommClose(again);
    std::lock_guard lock(received.signal.Mutex());
    EXPECT_EQ(received.calls, 1);
    EXPECT_FALSE(received.calledAfterStop);
    // The callback can tell that its reader was stopped while it waited, and leave things be.
    EXPECT_FALSE(stopSeenBefore);
    EXPECT_TRUE(stopSeenAfter);
    EXPECT_FALSE(CommReaderStopRequested());
}

TEST_F(CommReaderTest, StopFromAnotherThreadDoesNotWaitForTheReadersOwnMessageBox) {
    // One message first, so that the sanitizers have seen its path before descriptors run out.
    ShowMessageBox("warm-up", "test", MB_OK);
    presenter.Clear();
    presenter.Block();
    Start();
    ASSERT_TRUE(pty.Send("a"));
    ASSERT_TRUE(WaitForBytes(1));
    // The reader's next wait fails: poll() refuses more descriptors than the process may open.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit one = saved;
    one.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
    const bool shown = pty.Send("b") && presenter.WaitForCount(1, 10s);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(shown);
    EXPECT_EQ(presenter.Texts(),
              std::vector<std::string>{"Error - Wait for Reader & Status objects failed."});

    // The box waits for a person; the stop must not.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        CommStopReader(reader);
        stopped = true;
    });
    const bool prompt = WaitUntil([&] { return stopped.load(); }, 2s);
    presenter.Unblock();
    stopper.join();
    reader = nullptr;
    EXPECT_TRUE(prompt) << "CommStopReader waited for the reader's message box";
}

TEST_F(CommReaderTest, StopAndCloseFromInsideTheCallbackDoNotWaitForThemselves) {
    std::atomic<int> stopResult{0};
    std::atomic<int> closeResult{0};
    received.action = [&] {
        HCOMMREADER self = nullptr;
        received.signal.Update([&] { std::swap(self, received.self); });
        stopResult = CommStopReader(self);
        closeResult = CommClose(port);
        port = nullptr;
        received.signal.Update([&] { received.stopReturned = true; });
    };
    Start();
    received.signal.Update([&] { std::swap(received.self, reader); });
    ASSERT_TRUE(pty.Send("q"));
    ASSERT_TRUE(
        received.signal.WaitFor([&] { return received.stopReturned && !received.inside; }, 10s));
    EXPECT_EQ(stopResult, 1);
    EXPECT_EQ(closeResult, 1);
    // The port opens again and the old reader never hears of its bytes.
    HCOMM again = CommOpen(pty.SlavePath().c_str());
    ASSERT_NE(again, nullptr) << CommLastOpenError();
    ASSERT_TRUE(pty.Send("more"));
    ASSERT_TRUE(WaitUntil([&] { return pty.SlaveInputPending() == 4; }, 5s));
    CommClose(again);
    std::lock_guard lock(received.signal.Mutex());
    EXPECT_EQ(received.calls, 1);
}

TEST_F(CommReaderTest, TheCallbackIsNeverCalledAfterStopReturns) {
    Start();
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        const std::string chunk(64, 's');
        while (sending) {
            if (write(pty.Master(), chunk.data(), chunk.size()) < 0) {
                pollfd p{pty.Master(), POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
    });
    ASSERT_TRUE(WaitForBytes(1000));
    CommStopReader(reader);
    reader = nullptr;
    int callsAtStop;
    {
        std::lock_guard lock(received.signal.Mutex());
        callsAtStop = received.calls;
    }
    // Keep the line busy a little longer: a reader that had not stopped would deliver it.
    received.signal.WaitFor([] { return false; }, 100ms);
    sending = false;
    sender.join();
    ASSERT_TRUE(received.signal.WaitFor([&] { return !received.inside; }, 10s));
    // A call that had begun when the stop returned may still run (the reader may not have
    // reached its first line yet, so it may not be counted); none may begin after that.
    std::lock_guard lock(received.signal.Mutex());
    EXPECT_LE(received.calls, callsAtStop + 1);
}

TEST_F(CommReaderTest, AHungUpPortNeitherSpinsNorRepeatsAMessage) {
    Start();
    ASSERT_TRUE(pty.Send("x"));
    ASSERT_TRUE(WaitForBytes(1));
    clockid_t clock;
    {
        std::lock_guard lock(received.signal.Mutex());
        ASSERT_TRUE(received.haveClock);
        clock = received.readerClock;
    }
    pty.HangUp();
    // Measure the reader's processor time over a second from the hang-up on.
    timespec before{}, after{};
    ASSERT_EQ(clock_gettime(clock, &before), 0);
    received.signal.WaitFor([] { return false; }, 1000ms);
    ASSERT_EQ(clock_gettime(clock, &after), 0);
    double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 20.0) << "the reader spins on a hung-up port";
    EXPECT_EQ(presenter.Count(), 0u);

    // The first write tells the user once and sets the exit event; later ones are quiet.
    EXPECT_EQ(CommWrite(port, "\x17", 1), 0);
    EXPECT_EQ(CommWrite(port, "\x17", 1), 0);
    EXPECT_EQ(presenter.Texts(), std::vector<std::string>{"Error - Cannot write data in to port."});
    EXPECT_TRUE(CommExitEventIsSet(port));

    auto start = std::chrono::steady_clock::now();
    StopFromHere();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 450ms);
    EXPECT_EQ(CommClose(port), 1);
    port = nullptr;
}

TEST_F(CommReaderTest, StartingWithoutAPortShowsTheThreadMessage) {
    EXPECT_EQ(CommStartReader(nullptr, Record), nullptr);
    EXPECT_EQ(presenter.Texts(),
              std::vector<std::string>{"Error - Cannot initiate port Read thread."});
    EXPECT_EQ(CommStopReader(nullptr), 1);
}

} // namespace
} // namespace sorvel::test
