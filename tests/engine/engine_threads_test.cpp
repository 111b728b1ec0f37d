// The engine's threads: calls from inside notifications, notifications that block while other
// threads cancel or disconnect, and random interleavings of all of it.
#include "EngineTestSupport.h"
#include "UploadProtocol.h"

#include <gtest/gtest.h>

#include <iostream>

#include <algorithm>

#include <cstring>
#include <future>
#include <random>

using namespace std::chrono_literals;

namespace tarvik::test {
namespace {

using sorvel::boxsim::BoxSimulator;
using sorvel::boxsim::Options;

// Holds a notification until the test lets it go, as a client's prompt does.
class Gate {
public:
    void Hold() {
        std::unique_lock lock(m_mutex);
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    bool WaitUntilHeld(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_held; });
    }
    void Open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_open = false;
};

class EngineThreadsTest : public EngineBoxTest {
protected:
    std::string File(const std::string& name, std::size_t records, std::uint32_t length = 100) {
        return EngineBoxTest::File(name, MakeUniformFile(records, length));
    }
};

TEST_F(EngineThreadsTest, UploadFromCompletionStartsTheNextFile) {
    const std::string first = File("first.urt", 4);
    const std::string second = File("second.urt", 6, 300);
    StartBox({}, {first, second});
    std::atomic<int> nextResult{-1};
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_COMPLETE && nextResult.load() == -1) {
            CTarvik client(&NotificationLog::Notify); // any object sees the one connection
            nextResult.store(static_cast<int>(Upload(client, second)));
        }
    });
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, first), 0u);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(2, kWait));
    EXPECT_TRUE(m_box->GetReport().AllIntact());
    EXPECT_EQ(nextResult.load(), 0);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_COMPLETE, 2, kWait));
    // The second upload announces itself. (The first one's announcement may be missing: a box
    // fast enough to finish the first file before its handshake thread got to announce it makes
    // the next UploadURTFile stop that thread first.)
    ASSERT_TRUE(m_log.WaitFor(
        [&](const std::vector<Notification>& all) {
            return std::any_of(all.begin(), all.end(), [&](const Notification& n) {
                return n.type == UPLOAD_MSG_STARTED && n.data == second;
            });
        },
        kWait));
}

TEST_F(EngineThreadsTest, CancelAndDisconnectFromCompletionOnTheReaderThread) {
    const std::string path = File("last.urt", 5);
    StartBox({}, {path});
    std::atomic<bool> returned{false};
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_COMPLETE) {
            m_engine.CancelUploadProcess();
            m_engine.Disconnect();
            returned.store(true);
        }
    });
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitFor([&](auto&) { return returned.load(); }, kWait))
        << "Disconnect on the reader thread waited for itself";
    EXPECT_EQ(g_hPort.load(), nullptr);
    EXPECT_EQ(g_hReaderThread.load(), nullptr);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    EXPECT_TRUE(m_box->GetReport().AllIntact());

    // Nothing received reaches the client any more; after a new Connect it does again.
    m_log.RemoveHook();
    ASSERT_TRUE(m_box->Send("gone"));
    ASSERT_TRUE(ConnectWhenFree());
    ASSERT_TRUE(m_box->Send("back"));
    ASSERT_TRUE(m_log.WaitForData("back", kWait)) << m_log.Data();
}

TEST_F(EngineThreadsTest, DisconnectFromATimeOutOnTheHandshakeThread) {
    SetHandshakeTimingForTest(5ms, 40ms);
    StartBox(Silent());
    std::atomic<bool> returned{false};
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_TIMEOUT && !returned.load()) {
            m_engine.Disconnect();
            returned.store(true);
        }
    });
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, File("a.urt", 2)), 0u);
    ASSERT_TRUE(m_log.WaitFor([&](auto&) { return returned.load(); }, kWait));
    // Once its notification has returned, the thread that stopped itself sends nothing more:
    // the port is closed and the handshake gone.
    m_log.RemoveHook();
    EXPECT_EQ(g_hPort.load(), nullptr);
    EXPECT_FALSE(HandshakeThreadRunning());
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_TIMEOUT), 1u);
}

TEST_F(EngineThreadsTest, ABlockedProgressNeverBlocksDisconnectAndHearsNothingAfter) {
    const std::string path = File("long.urt", 200);
    StartBox({}, {path});
    Gate gate;
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_PROGRESS && n.percent == 1) {
            gate.Hold();
        }
    });
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(gate.WaitUntilHeld(kWait));
    auto disconnect = std::async(std::launch::async, [&] { m_engine.Disconnect(); });
    ASSERT_EQ(disconnect.wait_for(kWait), std::future_status::ready)
        << "Disconnect waited for a blocked notification";
    EXPECT_EQ(g_hPort.load(), nullptr);
    const std::size_t notifications = m_log.All().size();
    // Two records went out before the filter gave the progress that blocks.
    ASSERT_TRUE(m_box->WaitForRecords(2, kWait));
    ASSERT_TRUE(m_box->Send("\x05\x05"
                            "after"));
    gate.Open();
    // When the blocked notification has returned, the stale reader only looks at its stop.
    m_log.RemoveHook();
    EXPECT_EQ(m_log.All().size(), notifications) << "the stale reader went on notifying";
    EXPECT_EQ(m_box->GetReport().recordsReceived, 2u) << "the stale reader went on sending";
    ASSERT_TRUE(ConnectWhenFree());
}

TEST_F(EngineThreadsTest, ABlockedTimeOutNeverBlocksCancelAndTheHandshakeStops) {
    SetHandshakeTimingForTest(5ms, 30ms);
    StartBox(Silent());
    Gate gate;
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_TIMEOUT) {
            gate.Hold();
        }
    });
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, File("a.urt", 2)), 0u);
    ASSERT_TRUE(gate.WaitUntilHeld(kWait));
    auto cancel = std::async(std::launch::async, [&] { m_engine.CancelUploadProcess(); });
    ASSERT_EQ(cancel.wait_for(kWait), std::future_status::ready);
    gate.Open();
    // When the blocked notification has returned, the stopped thread only leaves: whatever it
    // sent would come before a mark written after that.
    m_log.RemoveHook();
    Mark();
    ASSERT_TRUE(WaitForMarks(1));
    EXPECT_TRUE(AfterLastMark().empty()) << "the handshake went on after the cancel";
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_TIMEOUT), 1u);
    // And the client may start again at once.
    ASSERT_EQ(Upload(m_engine, File("b.urt", 2)), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_STARTED, 2, kWait));
}

// Clients on several threads and inside notifications cancel, disconnect, reconnect and upload
// at random against a box that answers at once. Nothing may hang, race, crash or leak.
TEST_F(EngineThreadsTest, RandomCancelDisconnectReconnectInterleavings) {
    const long descriptorsBefore = OpenDescriptors();
    const std::string small = File("small.urt", 3, 20);
    const std::string large = File("large.urt", 60, 400);
    Options options;
    options.nakEvery = 7;
    options.garbageEvery = 5;
    StartBox(options);

    // A new seed each run, printed so that a failing run can be repeated.
    const unsigned seed = std::random_device{}();
    std::cout << "seed " << seed << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::atomic<unsigned> seeds{seed};
    std::atomic<bool> stop{false};
    std::atomic<int> fromNotifications{0};
    m_log.SetHook([&](const Notification& n) {
        thread_local std::minstd_rand random(seeds.fetch_add(1));
        CTarvik client(&NotificationLog::Notify);
        switch (random() % 16) {
        case 0:
            client.CancelUploadProcess();
            break;
        case 1:
            client.Disconnect();
            break;
        case 2:
            if (n.type == UPLOAD_MSG_COMPLETE) {
                Upload(client, small);
            }
            break;
        default:
            return;
        }
        fromNotifications.fetch_add(1);
    });

    auto client = [&](unsigned seed) {
        std::minstd_rand random(seed);
        CTarvik engine(&NotificationLog::Notify);
        std::strcpy(engine.m_szPortName, m_box->SlavePath().c_str());
        while (!stop.load()) {
            switch (random() % 6) {
            case 0:
                engine.Connect();
                break;
            case 1:
            case 2:
                Upload(engine, random() % 2 ? small : large);
                break;
            case 3:
                engine.CancelUploadProcess();
                break;
            case 4:
                engine.Disconnect();
                break;
            case 5:
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
                break;
            }
        }
    };
    std::vector<std::thread> clients;
    for (unsigned i = 0; i < 3; ++i) {
        clients.emplace_back(client, seed + 100 + i);
    }
    std::this_thread::sleep_for(6s);
    stop.store(true);
    for (auto& thread : clients) {
        thread.join();
    }
    m_log.RemoveHook();
    m_engine.CancelUploadProcess();
    m_engine.Disconnect();
    EXPECT_GT(m_log.Count(UPLOAD_MSG_STARTED), 10u);
    EXPECT_GT(fromNotifications.load(), 0);

    // The engine is whole afterwards: a clean upload to a fresh box arrives intact.
    const std::string check = File("check.urt", 10, 256);
    StartBox({}, {check});
    ASSERT_TRUE(ConnectWhenFree());
    ASSERT_EQ(Upload(m_engine, check), 0u);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    EXPECT_TRUE(m_box->GetReport().AllIntact());
    m_engine.CancelUploadProcess();
    m_engine.Disconnect();
    m_box.reset();
    // A reader thread lets its port go when it has left its last call.
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() <= descriptorsBefore; }, kWait))
        << "descriptors leaked";
}

} // namespace
} // namespace tarvik::test
