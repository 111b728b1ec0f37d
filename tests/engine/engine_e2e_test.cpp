// The engine end to end: CTarvik over the real serial channel on a pseudo-terminal, against the
// simulated box.
#include "EngineTestSupport.h"
#include "UploadProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace std::chrono_literals;

namespace tarvik::test {
namespace {

using sorvel::boxsim::BoxSimulator;
using sorvel::boxsim::Options;
using sorvel::boxsim::Report;

using EngineTest = EngineBoxTest;

Bytes VariedFile(std::size_t n) {
    std::vector<Bytes> records;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t lengths[] = {0, 1, 255, 256, 5091, 40};
        records.push_back(MakeRecord(lengths[i % 6], static_cast<std::uint8_t>(i)));
    }
    return MakeUploadFile(static_cast<std::uint32_t>(n), records);
}

TEST_F(EngineTest, AWholeUploadArrivesByteForByteWithItsNotifications) {
    const std::string path = File("whole.urt", VariedFile(12));
    StartBox({}, {path});
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_COMPLETE, 1, kWait));
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    const Report report = m_box->GetReport();
    EXPECT_TRUE(report.AllIntact()) << (report.errors.empty() ? "" : report.errors[0]);
    EXPECT_EQ(report.recordsReceived, 12u);
    EXPECT_GE(report.wakeUps, 1u);
    EXPECT_EQ(report.strayBytes, 0u);

    // The handshake thread's start may come after the reader's first progress: the box answers
    // the first wake-up byte at once.
    const auto all = m_log.All();
    const auto started = m_log.OfType(UPLOAD_MSG_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].data, path);
    EXPECT_EQ(started[0].length, static_cast<std::int32_t>(path.size()));
    std::vector<std::int32_t> percents;
    for (const auto& n : m_log.OfType(UPLOAD_MSG_PROGRESS)) {
        percents.push_back(n.percent);
    }
    EXPECT_EQ(percents, (std::vector<std::int32_t>{8, 16, 25, 33, 41, 50, 58, 66, 75, 83, 91}));
    EXPECT_EQ(all.back().type, UPLOAD_MSG_COMPLETE);
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_TIMEOUT), 0u);
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_DATA), 0u);
    EXPECT_FALSE(g_bUploadRunning.load());
    // After the answer the handshake thread ends by itself.
    EXPECT_TRUE(WaitUntil([] { return !HandshakeThreadRunning(); }));
}

TEST_F(EngineTest, NakResendsTheSameRecordWithoutCountingIt) {
    const std::string path = File("nak.urt", VariedFile(9));
    Options options;
    options.nakEvery = 2;
    StartBox(options, {path});
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    const Report report = m_box->GetReport();
    EXPECT_TRUE(report.AllIntact());
    EXPECT_EQ(report.resends, 4u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_COMPLETE, 1, kWait));
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_PROGRESS), 8u);
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_DATA), 0u);
}

TEST_F(EngineTest, StrayBytesReachTheClientInEveryMode) {
    const std::string path = File("stray.urt", VariedFile(6));
    Options options;
    options.garbageEvery = 2;
    options.garbageBytes = "BOX>";
    options.answerAfter = 3;
    StartBox(options, {path});
    ASSERT_EQ(m_engine.Connect(), 0u);
    // Connected: everything but the control bytes.
    ASSERT_TRUE(m_box->Send(std::string("plain\x05\x06\x15\x17\x16", 10)));
    ASSERT_TRUE(m_log.WaitForData("plain\x16", kWait));
    EXPECT_EQ(m_log.Data(), "plain\x16");

    // Streaming, with the box's garbage between its requests.
    m_log.Clear();
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    EXPECT_TRUE(m_box->GetReport().AllIntact());
    const std::string data = m_log.Data();
    EXPECT_FALSE(data.empty());
    EXPECT_EQ(data.find_first_not_of("BOX>"), std::string::npos) << data;
    EXPECT_EQ(data.size() % 4, 0u) << data;
}

TEST_F(EngineTest, TheChunkAEnqBInEachState) {
    const std::string path = File("chunk.urt", VariedFile(3));
    StartBox(Silent());
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_TRUE(m_box->Send("A\x05"
                            "B"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_DATA, 1, kWait));
    EXPECT_EQ(m_log.Data(), "AB");

    // Handshaking: ENQ is data and sends nothing.
    m_log.Clear();
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_box->Send("A\x05"
                            "B"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_DATA, 1, kWait));
    EXPECT_EQ(m_log.Data(), "A\x05"
                            "B");

    // Streaming, after the silent box's ACK: one record per request.
    ASSERT_TRUE(m_box->Send("\x06"));
    ASSERT_TRUE(WaitUntil([] { return !HandshakeThreadRunning(); }));
    m_log.Clear();
    ASSERT_TRUE(m_box->Send("A\x05"
                            "B"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_DATA, 1, kWait));
    auto all = m_log.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].type, UPLOAD_MSG_PROGRESS);
    EXPECT_EQ(all[0].percent, 33);
    EXPECT_EQ(all[1].data, "AB");

    // The request for the last record: its bytes around it are data, and completion follows
    // once the record's window has passed with no NAK.
    ASSERT_TRUE(m_box->Send("\x05"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_PROGRESS, 2, kWait));
    m_log.Clear();
    ASSERT_TRUE(m_box->Send("A\x05"
                            "B"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_COMPLETE, 1, kWait));
    ASSERT_TRUE(m_box->Send("C"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_DATA, 2, kWait));
    all = m_log.All();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].data, "AB");
    EXPECT_EQ(all[1].type, UPLOAD_MSG_COMPLETE);
    EXPECT_EQ(all[2].data, "C");
    const Bytes file = VariedFile(3);
    EXPECT_TRUE(WaitUntil([&] {
        const auto received = m_box->Received();
        return std::search(received.begin(), received.end(), file.begin() + 6, file.end()) !=
               received.end();
    })) << "the three records went out back to back";
}

TEST_F(EngineTest, TimeOutsRepeatWhileTheHandshakeGoesOn) {
    SetHandshakeTimingForTest(5ms, 150ms);
    StartBox(Silent());
    ASSERT_EQ(m_engine.Connect(), 0u);
    // The client holds the first time-out for a while: the next one is counted from its return.
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> returned;
    std::vector<std::chrono::steady_clock::time_point> arrived;
    m_log.SetHook([&](const Notification& n) {
        if (n.type != UPLOAD_MSG_TIMEOUT) {
            return;
        }
        bool first = false;
        {
            std::lock_guard lock(mutex);
            arrived.push_back(std::chrono::steady_clock::now());
            first = arrived.size() == 1;
        }
        if (first) {
            std::this_thread::sleep_for(200ms); // the client holds it, in a prompt say
        }
        std::lock_guard lock(mutex);
        returned.push_back(std::chrono::steady_clock::now());
    });
    const std::string path = File("silent.urt", VariedFile(2));
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_TIMEOUT, 3, kWait));
    const std::size_t wakeUps = m_box->GetReport().wakeUps;
    EXPECT_TRUE(m_box->WaitForWakeUps(wakeUps + 5, kWait)) << "the handshake goes on";
    m_engine.CancelUploadProcess();
    m_log.RemoveHook();

    std::lock_guard lock(mutex);
    ASSERT_GE(arrived.size(), 3u);
    EXPECT_GE(arrived[1] - returned[0], 150ms);
    for (const auto& n : m_log.OfType(UPLOAD_MSG_TIMEOUT)) {
        EXPECT_EQ(n.percent, 0);
        EXPECT_EQ(n.length, 0);
        EXPECT_FALSE(n.hasData);
    }
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_STARTED), 1u);
    EXPECT_EQ(m_box->GetReport().recordsReceived, 0u);
}

TEST_F(EngineTest, CancelDuringTheHandshakeStopsEveryWakeUpAndNotification) {
    StartBox(Silent());
    SetHandshakeTimingForTest(2ms, 20ms); // time-outs come thick and fast
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, File("a.urt", VariedFile(2))), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_TIMEOUT, 2, kWait));
    m_engine.CancelUploadProcess();
    const std::size_t notifications = m_log.All().size();
    Mark();
    EXPECT_FALSE(HandshakeThreadRunning());
    EXPECT_FALSE(g_bUploadMode.load() || g_bTargetReady.load() || g_bUploadRunning.load());
    // The handshake thread has ended (or sits in a notification it may not leave for a byte):
    // a wake-up sent after the cancel would follow the mark.
    ASSERT_TRUE(WaitForMarks(1));
    const auto after = AfterLastMark();
    EXPECT_EQ(std::count(after.begin(), after.end(), 0x17), 0);
    // At most the one notification that was under way when the cancel came.
    EXPECT_LE(m_log.All().size(), notifications + 1);

    // Still connected: data flows, and a new upload starts.
    ASSERT_TRUE(m_box->Send("x"));
    ASSERT_TRUE(m_log.WaitForData("x", kWait));
    ASSERT_EQ(Upload(m_engine, File("b.urt", VariedFile(2))), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_STARTED, 2, kWait));
}

TEST_F(EngineTest, CancelDuringStreamingSendsNoFurtherRecord) {
    const std::string path = File("long.urt", VariedFile(400));
    StartBox({}, {path});
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_PROGRESS, 20, kWait));
    m_engine.CancelUploadProcess();
    const std::size_t progress = m_log.Count(UPLOAD_MSG_PROGRESS);
    Mark();
    ASSERT_TRUE(WaitForMarks(1));
    // A byte of the box after the mark: once it reaches the client, the reader has handled
    // every request the box made before it.
    ASSERT_TRUE(m_box->Send("z"));
    ASSERT_TRUE(WaitUntil([&] { return m_log.Data().ends_with("z"); }, kWait));
    EXPECT_LE(m_log.Count(UPLOAD_MSG_PROGRESS), progress + 1);
    EXPECT_EQ(m_log.Count(UPLOAD_MSG_COMPLETE), 0u);
    // The box went on asking; a record already on its way when the cancel came may follow the
    // mark, nothing more.
    EXPECT_LT(AfterLastMark().size(), static_cast<std::size_t>(kRecordBufferBytes));
}

TEST_F(EngineTest, DisconnectThenConnectAndUploadAgain) {
    const std::string path = File("again.urt", VariedFile(300));
    StartBox({}, {path});
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_PROGRESS, 5, kWait));
    m_engine.Disconnect();
    EXPECT_EQ(g_hPort.load(), nullptr);
    EXPECT_FALSE(HandshakeThreadRunning());
    const std::size_t notifications = m_log.All().size();
    // The reader has stopped: what the box sends now reaches nobody.
    ASSERT_TRUE(m_box->Send("\x05"
                            "after"));
    EXPECT_LE(m_log.All().size(), notifications + 1) << "notified after Disconnect";
    // The same port opens again at once: the engine let go of it.
    ASSERT_EQ(m_engine.Connect(), 0u) << CTarvik::GetLastErrorText();
    m_engine.Disconnect();

    // A new box on a new port; the interrupted upload's file is closed and a new one starts.
    const std::string next = File("next.urt", VariedFile(5));
    StartBox({}, {next});
    ASSERT_EQ(m_engine.Connect(), 0u);
    ASSERT_EQ(Upload(m_engine, next), 0u);
    ASSERT_TRUE(m_box->WaitForFilesCompleted(1, kWait));
    EXPECT_TRUE(m_box->GetReport().AllIntact());
}

TEST_F(EngineTest, ResultCodes) {
    const std::string good = File("good.urt", VariedFile(3));
    StartBox(Silent());
    CTarvik nobody(nullptr);
    EXPECT_EQ(Upload(m_engine, good), 4u) << "not connected";
    EXPECT_STREQ(CTarvik::GetLastErrorText(), "not connected");
    EXPECT_EQ(Connect(nobody), 2u);

    std::strcpy(m_engine.m_szPortName, (m_dir.Path() / "ttyNone").c_str());
    EXPECT_EQ(m_engine.Connect(), 3u);
    EXPECT_NE(std::string(CTarvik::GetLastErrorText()).find("No such file"), std::string::npos)
        << CTarvik::GetLastErrorText();
    std::memset(m_engine.m_szPortName, 'x', sizeof m_engine.m_szPortName);
    EXPECT_EQ(m_engine.Connect(), 3u) << "a name without its NUL is refused, not overread";

    ASSERT_EQ(Connect(m_engine), 0u);
    EXPECT_STREQ(CTarvik::GetLastErrorText(), "");
    // A second object shares the connection; it changes nothing, not even the line settings.
    CTarvik second(&NotificationLog::Notify);
    second.m_dcb.BaudRate = 9600;
    const DCB before = g_dcbComm;
    EXPECT_EQ(Connect(second), 1u);
    EXPECT_EQ(std::memcmp(&before, &g_dcbComm, sizeof(DCB)), 0);

    struct FileCase {
        std::string path;
        const char* reason;
    };
    const std::vector<FileCase> refused = {
        {(m_dir.Path() / "missing.urt").string(), "No such file or directory"},
        {File("text.txt", Bytes{'h', 'e', 'l', 'l', 'o', '!', '!'}), "not an upload file"},
        {File("huge.urt", Bytes{0x4D, 0x5A, 0x80, 0, 0, 0}), "record count too large"},
        {std::string(kUploadPathBytes, 'p'), "path too long"},
    };
    for (const FileCase& c : refused) {
        EXPECT_EQ(Upload(m_engine, c.path), 3u) << c.path;
        EXPECT_TRUE(std::string(CTarvik::GetLastErrorText()).ends_with(c.reason))
            << CTarvik::GetLastErrorText();
        EXPECT_FALSE(g_bUploadMode.load()) << "a refused upload leaves the engine plain";
        EXPECT_FALSE(g_hUploadFile.IsOpen());
    }
    // The longest path that fits is taken whole.
    const std::string longest =
        (m_dir.Path() / std::string(kUploadPathBytes - 2 - m_dir.Path().string().size(), 'f'))
            .string();
    ASSERT_EQ(longest.size(), static_cast<std::size_t>(kUploadPathBytes - 1));
    File(longest.substr(m_dir.Path().string().size() + 1), VariedFile(1));
    EXPECT_EQ(Upload(m_engine, longest), 0u) << CTarvik::GetLastErrorText();
    EXPECT_TRUE(m_log.WaitForCount(UPLOAD_MSG_STARTED, 1, kWait));
    EXPECT_EQ(m_log.OfType(UPLOAD_MSG_STARTED)[0].data, longest);

    // During an upload: 1, and the running upload keeps its file name.
    EXPECT_EQ(Upload(m_engine, good), 1u);
    EXPECT_EQ(std::string(g_szUploadFileName), longest);

    m_engine.CancelUploadProcess();
    m_engine.CancelUploadProcess(); // without an upload: harmless
    m_engine.Disconnect();
    m_engine.Disconnect(); // without a connection: harmless
    EXPECT_EQ(Upload(m_engine, good), 4u);
}

TEST_F(EngineTest, ThreadsThatDoNotStart) {
    StartBox();
    const std::string path = File("a.urt", VariedFile(2));
    SetThreadStartFailureForTest(true);
    EXPECT_EQ(Connect(m_engine), 4u);
    EXPECT_NE(g_hPort.load(), nullptr) << "the port stays open";
    EXPECT_EQ(Connect(m_engine), 1u);
    m_engine.Disconnect();
    EXPECT_EQ(g_hPort.load(), nullptr);

    SetThreadStartFailureForTest(false);
    ASSERT_EQ(m_engine.Connect(), 0u);
    SetThreadStartFailureForTest(true);
    EXPECT_EQ(Upload(m_engine, path), 2u);
    SetThreadStartFailureForTest(false);
    EXPECT_FALSE(g_bUploadMode.load() || g_bUploadRunning.load());
    EXPECT_FALSE(g_hUploadFile.IsOpen()) << "the file is closed at once";
    EXPECT_EQ(Upload(m_engine, path), 0u);
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_COMPLETE, 1, kWait));
}

TEST_F(EngineTest, ANakBeforeTheFirstRecordNeverResendsThePreviousUploadsRecord) {
    StartBox(Silent());
    ASSERT_EQ(m_engine.Connect(), 0u);
    const Bytes first = MakeUploadFile(2, {MakeRecord(7, 1), MakeRecord(7, 2)});
    ASSERT_EQ(Upload(m_engine, File("first.urt", first)), 0u);
    ASSERT_TRUE(m_box->Send("\x06\x05"));
    ASSERT_TRUE(m_log.WaitForCount(UPLOAD_MSG_PROGRESS, 1, kWait));
    m_engine.CancelUploadProcess();

    ASSERT_EQ(Upload(m_engine, File("second.urt", VariedFile(2))), 0u);
    ASSERT_TRUE(m_box->Send("\x06"));
    ASSERT_TRUE(WaitUntil([] { return !HandshakeThreadRunning(); }));
    Mark();
    ASSERT_TRUE(m_box->Send("\x15"));
    ASSERT_TRUE(m_log.WaitForData("\x15", kWait)) << "NAK with nothing to resend is data";
    Mark();
    ASSERT_TRUE(WaitForMarks(2));
    const auto received = m_box->Received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[received.size() - 2], kMark) << "something was sent for the NAK";
}

} // namespace
} // namespace tarvik::test
