// The upload-file reader: header checks and record framing, as tables of files.
#include "TempDir.h"
#include "TestSystem.h"
#include "UploadFile.h"
#include "UploadTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace tarvik::test {
namespace {

class UploadFileTest : public ::testing::Test {
protected:
    void SetUp() override { ResetEngine(); }
    void TearDown() override { ResetEngine(); }

    // Opens a file with these bytes as the upload file; returns OpenUploadFile's result. The
    // upload file open until then is closed first: it keeps writers out, and on Windows the file
    // could not be written again.
    int Open(const Bytes& bytes, std::string* reason = nullptr) {
        Close();
        const auto path = m_dir.Write("upload.urt", bytes);
        EXPECT_EQ(sorvel::test::ReadFileBytes(path), bytes) << "the upload file was not written";
        return OpenPath(path.string(), reason);
    }
    void Close() {
        std::lock_guard lock(g_uploadMutex);
        CloseUploadFile();
    }
    int OpenPath(const std::string& path, std::string* reason = nullptr) {
        std::snprintf(g_szUploadFileName, sizeof g_szUploadFileName, "%s", path.c_str());
        std::lock_guard lock(g_uploadMutex);
        return OpenUploadFile(reason);
    }
    std::int32_t Read() {
        std::lock_guard recordLock(g_recordMutex);
        std::lock_guard lock(g_uploadMutex);
        return ReadUploadRecord(g_RecordBuffer);
    }
    Bytes Buffer(std::int32_t length) const {
        return Bytes(g_RecordBuffer, g_RecordBuffer + length);
    }

    sorvel::test::TempDir m_dir;
};

TEST_F(UploadFileTest, HeaderTable) {
    struct Case {
        const char* name;
        Bytes bytes;
        int result;
        std::int32_t count;
        const char* reason; // the end of the reason, for refused files
    };
    const std::vector<Case> cases = {
        {"count 258", {0x4D, 0x5A, 0x00, 0x00, 0x01, 0x02}, 1, 258, ""},
        {"count 0", {0x4D, 0x5A, 0, 0, 0, 0}, 1, 0, ""},
        {"largest count", {0x4D, 0x5A, 0x7F, 0xFF, 0xFF, 0xFF}, 1, 0x7FFFFFFF, ""},
        {"count 2^31", {0x4D, 0x5A, 0x80, 0, 0, 0}, 0, 0, "record count too large"},
        {"count 2^32-1", {0x4D, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, "record count too large"},
        {"neither magic byte", {0x41, 0x42, 0, 0, 0, 1}, 0, 0, "not an upload file"},
        {"only M", {0x4D, 0x41, 0, 0, 0, 1}, 0, 0, "not an upload file"},
        {"only Z", {0x58, 0x5A, 0, 0, 0, 1}, 0, 0, "not an upload file"},
        {"empty", {}, 0, 0, "not an upload file"},
        {"header cut short", {0x4D, 0x5A, 0, 0, 1}, 0, 0, "not an upload file"},
        {"magic only", {0x4D, 0x5A}, 0, 0, "not an upload file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reason;
        ASSERT_EQ(Open(c.bytes, &reason), c.result);
        if (c.result == 1) {
            EXPECT_TRUE(g_hUploadFile.IsOpen());
            EXPECT_EQ(g_nRecordsTotal, c.count);
            EXPECT_EQ(g_nRecordsLeft, c.count);
            EXPECT_EQ(g_nUploadFileOffset, 6);
        } else {
            EXPECT_FALSE(g_hUploadFile.IsOpen());
            EXPECT_TRUE(reason.ends_with(c.reason)) << reason;
        }
        Close();
    }
}

TEST_F(UploadFileTest, FilesThatDoNotOpenAreRefusedWithTheSystemsReason) {
    std::string reason;
    EXPECT_EQ(OpenPath((m_dir.Path() / "missing.urt").string(), &reason), 0);
    EXPECT_TRUE(reason.ends_with(std::string("missing.urt: ") + sorvel::test::NoSuchFileText()))
        << reason;
    EXPECT_FALSE(g_hUploadFile.IsOpen());

    EXPECT_EQ(OpenPath(m_dir.Path().string(), &reason), 0);
    EXPECT_TRUE(reason.ends_with("not a regular file")) << reason;

    // A FIFO would block an ordinary open until a writer came; a device may never end.
    for (const std::string& path : sorvel::test::NotRegularPaths(m_dir.Path())) {
        EXPECT_EQ(OpenPath(path, &reason), 0) << path;
        EXPECT_TRUE(reason.ends_with("not a regular file")) << reason;
        EXPECT_FALSE(g_hUploadFile.IsOpen());
    }
}

TEST_F(UploadFileTest, AFileLockedForWritingIsRefusedAndAnOpenFileKeepsWritersOut) {
    const auto path = m_dir.Write("locked.urt", MakeUniformFile(1, 4));
    sorvel::test::WriterHold writer(path);
    ASSERT_TRUE(writer.Take());
    std::string reason;
    EXPECT_EQ(OpenPath(path.string(), &reason), 0);
    EXPECT_TRUE(reason.ends_with("locked by another program")) << reason;
    writer.Release();

    ASSERT_EQ(OpenPath(path.string()), 1);
    EXPECT_FALSE(writer.Take()) << "a writer got the file while it is open";
    EXPECT_TRUE(sorvel::test::CanShareForReading(path)) << "other readers must be able to share it";
    Close();
    EXPECT_TRUE(writer.Take()) << "closing must release the file";
}

TEST_F(UploadFileTest, ABadTypeByteConsumesItsHeaderOnly) {
    const Bytes good = MakeRecord(3, 9);
    // A bad header, then a record exactly 4 bytes later: it is found again.
    ASSERT_EQ(Open(Concat({MakeUploadFile(2, {}), {0x03, 0x00, 0x00, 0x01}, good})), 1);
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(g_nUploadFileOffset, 10);
    std::int32_t length = Read();
    ASSERT_EQ(length, static_cast<std::int32_t>(good.size()));
    EXPECT_EQ(Buffer(length), good);
}

TEST_F(UploadFileTest, ARecordLongerThanTheBufferIsRefusedWithoutTouchingItOrMovingOn) {
    std::memset(g_RecordBuffer, 0x5C, sizeof g_RecordBuffer);
    const std::vector<Bytes> files = {
        MakeUploadFile(2, {MakeRecord(5092, 1), MakeRecord(1, 2)}),
        // The largest length a header can give, in a file that is much shorter.
        MakeUploadFile(1, {{0x02, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9}}),
    };
    for (const Bytes& file : files) {
        ASSERT_EQ(Open(file), 1);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Read(), 0);
            EXPECT_EQ(g_nUploadFileOffset, 6) << "the oversized record must not be skipped into";
        }
    }
    for (char c : g_RecordBuffer) {
        ASSERT_EQ(c, 0x5C) << "the buffer was written";
    }
}

TEST_F(UploadFileTest, EachRecordThatCannotBeGivenSaysWhyAndACutOneIsNeverGivenInPart) {
    const Bytes whole = MakeRecord(10, 4);
    const Bytes cut(whole.begin(), whole.begin() + 12);
    struct Case {
        Bytes file;
        const char* fault;
    };
    const std::vector<Case> cases = {
        {Concat({MakeUploadFile(1, {}), cut}), kFaultRecordCut},
        {Concat({MakeUploadFile(1, {}), {0x02, 0x00}}), kFaultBadRecord},
        {Concat({MakeUploadFile(1, {}), {0x07, 0x00, 0x00, 0x01}}), kFaultBadRecord},
        {MakeUploadFile(1, {MakeRecord(5092, 1)}), kFaultRecordTooLong},
        {MakeUploadFile(2, {}), kFaultFileEnded},
    };
    for (const Case& c : cases) {
        std::memset(g_RecordBuffer, 0x5C, 16);
        ASSERT_EQ(Open(c.file), 1);
        const char* fault = nullptr;
        {
            std::lock_guard recordLock(g_recordMutex);
            std::lock_guard lock(g_uploadMutex);
            EXPECT_EQ(ReadUploadRecord(g_RecordBuffer, &fault), 0);
        }
        EXPECT_STREQ(fault, c.fault);
        if (c.fault == kFaultRecordCut) {
            EXPECT_EQ(g_nUploadFileOffset, 6) << "a cut record is not consumed";
            EXPECT_EQ(Read(), 0) << "and never given out later";
        }
    }
}

TEST_F(UploadFileTest, OpeningAgainAndRefusedFilesLeaveNoDescriptorBehind) {
    const std::string good = m_dir.Write("a.urt", MakeUniformFile(1, 4)).string();
    const std::string bad = m_dir.Write("b.urt", Bytes{0x41, 0x42}).string();
    const auto before = OpenDescriptors();
    ASSERT_EQ(OpenPath(good), 1);
    ASSERT_EQ(OpenPath(good), 1);
    EXPECT_EQ(OpenPath(bad), 0);
    ASSERT_EQ(OpenPath(good), 1);
    Close();
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
} // namespace tarvik::test
