// The upload-file format: a walk's verdict on each kind of file, under the rules of a whole file
// (the engine, sorvel-config) and of the counted records only (the box simulator), and the
// writer's files as a walk sees them.
#include "UploadFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace sorvel::upload {
namespace {

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr WalkRules kWholeFile{};
constexpr WalkRules kCountedRecords{.stopAtCount = true, .limitRecordBytes = false};

struct Verdict {
    Fault fault;
    std::uint64_t records;
    std::uint64_t offset;
};

void ExpectVerdict(const Walk& walk, const Verdict& expected) {
    EXPECT_EQ(walk.fault, expected.fault);
    EXPECT_EQ(walk.records, expected.records);
    EXPECT_EQ(walk.offset, expected.offset);
}

TEST(UploadFormatWalk, RefusalsTable) {
    const Bytes a = MakeRecord(12, 1); // offset 6 in the files below
    const Bytes b = MakeRecord(19, 2); // offset 18
    const Bytes longest = MakeRecord(kMaxRecordBytes, 3);
    const Bytes tooLong = MakeRecord(kMaxRecordBytes + 1, 3);
    struct Case {
        const char* name;
        Bytes file;
        Verdict wholeFile;
        Verdict countedRecords;
    };
    const Case cases[] = {
        {"two records", MakeUploadFile(2, {a, b}), {Fault::None, 2, 37}, {Fault::None, 2, 37}},
        {"no records", MakeUploadFile(0, {}), {Fault::None, 0, 6}, {Fault::None, 0, 6}},
        {"not MZ",
         {'M', 'X', 0, 0, 0, 0},
         {Fault::NotUploadFile, 0, 0},
         {Fault::NotUploadFile, 0, 0}},
        {"header cut short",
         {'M', 'Z', 0, 0, 0},
         {Fault::NotUploadFile, 0, 0},
         {Fault::NotUploadFile, 0, 0}},
        {"a byte after the counted records",
         Concat(MakeUploadFile(1, {a}), {kRecordType}),
         {Fault::NoRecordHeader, 1, 18},
         {Fault::None, 1, 18}},
        {"bad type byte",
         Concat(MakeUploadFile(2, {a}), {0x07, 0, 0, 1, 0, 0, 0, 0, 0, 0}),
         {Fault::NoRecordHeader, 1, 18},
         {Fault::NoRecordHeader, 1, 18}},
        {"record header cut short",
         Concat(MakeUploadFile(2, {a}), {kRecordType, 0}),
         {Fault::NoRecordHeader, 1, 18},
         {Fault::CountMismatch, 1, 18}},
        {"fewer records than counted",
         MakeUploadFile(3, {a, b}),
         {Fault::CountMismatch, 2, 37},
         {Fault::CountMismatch, 2, 37}},
        {"more records than counted",
         MakeUploadFile(1, {a, b}),
         {Fault::CountMismatch, 2, 37},
         {Fault::None, 1, 18}},
        {"largest record",
         MakeUploadFile(1, {longest}),
         {Fault::None, 1, 5106},
         {Fault::None, 1, 5106}},
        {"record one byte too long",
         MakeUploadFile(1, {tooLong}),
         {Fault::RecordTooLong, 0, 6},
         {Fault::None, 1, 5107}},
        {"record cut short",
         Concat(MakeUploadFile(1, {}), Bytes(b.begin(), b.end() - 1)),
         {Fault::RecordCut, 0, 6},
         {Fault::RecordCut, 0, 6}},
        // Too long comes first: the engine refuses such a record before it reads it.
        {"longest length field in a short file",
         MakeUploadFile(1, {{kRecordType, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5}}),
         {Fault::RecordTooLong, 0, 6},
         {Fault::RecordCut, 0, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            SCOPED_TRACE("whole file");
            ExpectVerdict(WalkUploadFile(MemoryReader(c.file), c.file.size(), kWholeFile),
                          c.wholeFile);
        }
        {
            SCOPED_TRACE("counted records");
            ExpectVerdict(WalkUploadFile(MemoryReader(c.file), c.file.size(), kCountedRecords),
                          c.countedRecords);
        }
    }
}

TEST(UploadFormatWalk, AReadThatFailsEndsTheWalk) {
    const Bytes file = MakeSampleFile(2, 20, 1);
    auto failingFrom = [&file](std::uint64_t failAt) -> ReadAtFn {
        return [&file, failAt](void* buffer, long count, std::uint64_t offset) -> long {
            if (offset >= failAt)
                return -1;
            return MemoryReader(file)(buffer, count, offset);
        };
    };
    EXPECT_EQ(WalkUploadFile(failingFrom(0), file.size()).fault, Fault::NotUploadFile);
    const Walk walk = WalkUploadFile(failingFrom(26), file.size());
    EXPECT_EQ(walk.fault, Fault::Unreadable);
    EXPECT_EQ(walk.records, 1u);
}

TEST(UploadFormatWriter, SampleFilesWalkRecordByRecordAsWritten) {
    const Bytes file = MakeSampleFile(5, 9, 7, 1000);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> records;
    const Walk walk = WalkUploadFile(
        MemoryReader(file), file.size(), kWholeFile,
        [&](std::uint64_t offset, std::uint64_t bytes) { records.emplace_back(offset, bytes); });
    EXPECT_EQ(walk.fault, Fault::None);
    EXPECT_EQ(walk.count, 5u);
    EXPECT_EQ(walk.offset, file.size());
    ASSERT_EQ(records.size(), 5u);
    std::uint64_t offset = kHeaderBytes;
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].first, offset);
        EXPECT_EQ(records[i].second, 9 + 1000 * i);
        offset += records[i].second;
    }
    // The contents run on from record to record: the first is the record of the same seed.
    const Bytes first = MakeRecord(9, 7);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), file.begin() + kHeaderBytes));
}

} // namespace
} // namespace sorvel::upload
