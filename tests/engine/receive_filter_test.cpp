// The receive filter, called directly with chunks of bytes, over a real port whose other side the
// test reads: the byte table in each mode, record requests, resends, progress and completion.
#include "EngineTestSupport.h"
#include "PtyPair.h"
#include "UploadFile.h"
#include "UploadProtocol.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarvik::test {
namespace {

std::string Str(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ReceiveFilterTest : public ::testing::Test {
protected:
    // The engine's connection is the slave side of a pseudo-terminal, without a reader thread:
    // the test calls the filter itself and reads what the engine wrote from the master side.
    void SetUp() override {
        ResetEngine();
        g_pfnNotify.store(&NotificationLog::Notify);
        g_dcbComm = CTarvik(nullptr).m_dcb;
        HCOMM port = CommOpen(m_pty.SlavePath().c_str());
        ASSERT_NE(port, nullptr) << CommLastOpenError();
        m_connection = std::make_shared<EngineConnection>(port);
        SetCurrentConnection(m_connection);
    }
    void TearDown() override {
        SetCurrentConnection(nullptr);
        if (m_connection) {
            m_connection->Close();
        }
        ResetEngine();
    }
    // Everything the engine wrote so far: writes a marker through the same port and reads up to
    // it, so bytes still on their way are not missed.
    std::string Written() {
        const std::string marker = "\xA5\x5A\xC3\x3C<end>";
        m_connection->Write(marker.data(), static_cast<int>(marker.size()));
        return m_pty.ReceiveUntil(marker, std::chrono::seconds(10));
    }

    // Starts an upload of a file with these bytes, in the given state.
    void Prepare(const Bytes& file, FilterMode mode) {
        ASSERT_TRUE(PrepareUpload(m_dir.Write("upload.urt", file).string(), mode));
    }
    // Passes a chunk to the filter; returns what the filter returned and leaves the chunk, as
    // the filter rewrote it, in m_chunk.
    int Filter(const std::string& bytes) {
        m_chunk = bytes;
        return UploadReceiveFilter(m_chunk.data(), static_cast<int>(m_chunk.size()));
    }

    sorvel::test::TempDir m_dir;
    NotificationLog m_log;
    sorvel::test::PtyPair m_pty;
    std::shared_ptr<EngineConnection> m_connection;
    std::string m_chunk;
};

// Every byte value in one chunk: what is not a control byte of the mode reaches the client in
// one notification and stands compacted at the start of the reader's buffer; nothing is sent.
TEST_F(ReceiveFilterTest, EachModeKeepsEveryByteButItsControlBytesAndReportsThemOnce) {
    const std::string plainDropped = "\x04\x05\x06\x11\x12\x13\x14\x15\x17\x18";
    const Bytes record = MakeRecord(5, 7);
    // While handshaking only ACK is taken (it is left out here: it would start the streaming).
    for (const FilterMode mode : {FilterMode::Plain, FilterMode::Handshaking}) {
        const std::string dropped = mode == FilterMode::Plain ? plainDropped : "\x06";
        if (mode == FilterMode::Handshaking) {
            Prepare(MakeUploadFile(2, {record, record}), mode);
        }
        std::string all;
        std::string expected;
        for (int value = 0; value < 256; ++value) {
            const char byte = static_cast<char>(value);
            all += mode == FilterMode::Plain || value != 0x06 ? std::string(1, byte) : "";
            expected += dropped.find(byte) == std::string::npos ? std::string(1, byte) : "";
        }
        m_log.Clear();
        EXPECT_EQ(Filter(all), 1);
        const auto notifications = m_log.All();
        ASSERT_EQ(notifications.size(), 1u);
        EXPECT_EQ(notifications[0].type, UPLOAD_MSG_DATA);
        EXPECT_EQ(notifications[0].percent, 0);
        EXPECT_EQ(Hex(notifications[0].data), Hex(expected)); // plain: 0x16 kept, 0x17 dropped
        EXPECT_EQ(Hex(m_chunk.substr(0, expected.size())), Hex(expected));
        EXPECT_FALSE(g_bTargetReady.load());
        EXPECT_EQ(Written(), "") << "nothing but the wake-up byte goes out before ACK";
        if (mode == FilterMode::Plain) {
            // A chunk of dropped bytes, an empty one and a bad count give no notification.
            m_log.Clear();
            EXPECT_EQ(Filter(plainDropped), 1);
            EXPECT_EQ(Filter(""), 1);
            EXPECT_EQ(UploadReceiveFilter(m_chunk.data(), -1), 1);
            EXPECT_TRUE(m_log.All().empty());
        }
    }
}

TEST_F(ReceiveFilterTest, AckThenEnqSendsAtOnceAndASecondAckChangesNothing) {
    const Bytes record = MakeRecord(5, 7);
    Prepare(MakeUploadFile(2, {record, record}), FilterMode::Handshaking);
    m_log.Clear();
    EXPECT_EQ(Filter("\x06\x05"), 1);
    EXPECT_TRUE(g_bTargetReady.load());
    EXPECT_EQ(Written(), Str(record));
    ASSERT_EQ(m_log.All().size(), 1u);
    EXPECT_EQ(m_log.All()[0].type, UPLOAD_MSG_PROGRESS);
    EXPECT_EQ(m_log.All()[0].percent, 50);

    // A second ACK changes nothing and is not reported.
    m_log.Clear();
    EXPECT_EQ(Filter("\x06"), 1);
    EXPECT_TRUE(m_log.All().empty());
    EXPECT_EQ(Written(), "");
}

TEST_F(ReceiveFilterTest, NakResendsTheLastRecordOnlyWhenThereIsOne) {
    const Bytes record1 = MakeRecord(12, 1);
    const Bytes record2 = MakeRecord(13, 2);
    Prepare(MakeUploadFile(2, {record1, record2}), FilterMode::Streaming);

    EXPECT_EQ(Filter("\x15"), 1) << "NAK before any record";
    EXPECT_EQ(m_log.Data(), "\x15");
    EXPECT_EQ(Written(), "");

    m_log.Clear();
    EXPECT_EQ(Filter("\x05\x15\x15"), 1);
    EXPECT_EQ(Written(), Str(record1) + Str(record1) + Str(record1));
    EXPECT_EQ(g_nRecordsLeft, 1) << "a resend counts nothing";
    ASSERT_EQ(m_log.All().size(), 1u) << "a resend gives no notification";
}

// The last record is delivered only once its window has passed with no NAK: a NAK in the window
// sends it again and starts a new window, a request for more ends the window at once, and a box
// that keeps refusing the record ends the upload. Each way the file cannot give its next record
// ends the upload too, with the reason, and sends nothing.
TEST_F(ReceiveFilterTest, HowAnUploadEnds) {
    const Bytes a = MakeRecord(12, 1);
    const Bytes b = MakeRecord(13, 2);
    const std::string storm(kMaxResends + 1, '\x15');
    std::string stormResends;
    for (int i = 0; i < kMaxResends; ++i) {
        stormResends += Str(b);
    }
    struct Case {
        const char* name;
        Bytes file;
        std::string chunk; // after the requests for the file's records
        bool waitForWindow;
        std::string written; // by the chunk
        std::int32_t ending; // UPLOAD_MSG_COMPLETE, UPLOAD_MSG_TIMEOUT or -1
        const char* reason;
    };
    const Bytes two = MakeUploadFile(2, {a, b});
    const std::vector<Case> cases = {
        {"window passes", two, "", true, "", UPLOAD_MSG_COMPLETE, ""},
        {"NAKs in the window", two, "\x15\x15", true, Str(b) + Str(b), UPLOAD_MSG_COMPLETE, ""},
        {"a request for more", two, "\x05", false, "", UPLOAD_MSG_COMPLETE, ""},
        {"NAK storm", two, storm, false, stormResends, UPLOAD_MSG_TIMEOUT, kReasonNakStorm},
        {"file ends early", MakeUploadFile(3, {a, b}), "\x05", false, "", UPLOAD_MSG_TIMEOUT,
         kFaultFileEnded},
        {"damaged header", Concat({MakeUploadFile(3, {a, b}), {0x07, 0, 0, 0}, a}), "\x05", false,
         "", UPLOAD_MSG_TIMEOUT, kFaultBadRecord},
        {"cut record", Concat({MakeUploadFile(3, {a, b}), Bytes(b.begin(), b.begin() + 9)}), "\x05",
         false, "", UPLOAD_MSG_TIMEOUT, kFaultRecordCut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.file, FilterMode::Streaming);
        EXPECT_EQ(Filter("\x05\x05"), 1);
        EXPECT_EQ(Written(), Str(a) + Str(b));
        m_log.Clear();
        Filter(c.chunk);
        const bool endsAtOnce = c.ending == UPLOAD_MSG_TIMEOUT || !c.waitForWindow;
        // The last record's window has not passed: asking the clock now ends nothing.
        UploadReaderIdle(COMM_IDLE_QUIET);
        EXPECT_EQ(m_log.All().empty(), !endsAtOnce);
        if (c.waitForWindow) {
            std::chrono::steady_clock::time_point deadline;
            {
                std::lock_guard lock(g_uploadMutex);
                deadline = g_uploadWatch.settleDeadline;
            }
            std::this_thread::sleep_until(deadline);
            UploadReaderIdle(COMM_IDLE_QUIET);
        }
        EXPECT_EQ(Written(), c.written);
        const auto all = m_log.All();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].type, c.ending);
        EXPECT_EQ(all[0].data, c.reason);
        EXPECT_FALSE(g_bUploadMode.load() || g_bUploadRunning.load());
        EXPECT_FALSE(g_hUploadFile.IsOpen());
        EXPECT_EQ(Filter("\x05\x15"), 1);
        EXPECT_EQ(Written(), "") << "nothing more of the upload is sent";
    }
}

TEST_F(ReceiveFilterTest, ProgressIsTruncatedFromDoublePrecision) {
    struct Case {
        std::int32_t total, sent, percent;
    };
    for (const Case c : std::vector<Case>{{100, 29, 28},
                                          {100, 57, 56},
                                          {100, 58, 57},
                                          {50, 29, 57},
                                          {3, 1, 33},
                                          {3, 2, 66},
                                          {7, 6, 85},
                                          {0x7FFFFFFF, 0x7FFFFFFE, 99},
                                          {0, 0, 100},
                                          {0, 5, 100}}) {
        EXPECT_EQ(ProgressPercent(c.total, c.total - c.sent), c.percent)
            << c.sent << " of " << c.total;
    }
}

TEST_F(ReceiveFilterTest, CompletionHasEndedTheUploadBeforeTheClientHearsOfIt) {
    bool sawOpenState = true;
    m_log.SetHook([&](const Notification& n) {
        if (n.type == UPLOAD_MSG_COMPLETE) {
            std::lock_guard lock(g_uploadMutex);
            sawOpenState = g_hUploadFile.IsOpen() || g_bUploadMode.load() ||
                           g_bTargetReady.load() || g_bUploadRunning.load();
        }
    });
    Prepare(MakeUniformFile(1, 3), FilterMode::Streaming);
    EXPECT_EQ(Filter("\x05\x05"), 0);
    EXPECT_FALSE(sawOpenState);
    EXPECT_EQ(m_log.All().size(), 1u) << "one record: no progress, only completion";
}

TEST_F(ReceiveFilterTest, RecordCountsThatDifferFromTheFile) {
    const Bytes a = MakeRecord(1, 1);
    const Bytes b = MakeRecord(2, 2);
    const Bytes c = MakeRecord(3, 3);

    // Counts two, holds three: the third is never sent.
    Prepare(MakeUploadFile(2, {a, b, c}), FilterMode::Streaming);
    EXPECT_EQ(Filter("\x05\x05"), 1);
    EXPECT_EQ(Filter("\x05"), 0);
    EXPECT_EQ(Written(), Str(a) + Str(b));

    // Counts none: complete at the first request, whatever the file holds.
    for (const Bytes& file : {MakeUploadFile(0, {}), MakeUploadFile(0, {a, b})}) {
        m_log.Clear();
        Prepare(file, FilterMode::Streaming);
        EXPECT_EQ(Filter("\x05"), 0);
        EXPECT_EQ(m_log.Count(UPLOAD_MSG_COMPLETE), 1u);
        EXPECT_EQ(Written(), "");
    }
}

} // namespace
} // namespace tarvik::test
