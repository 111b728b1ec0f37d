// The record's reader: which lines it keeps and which it skips, counted, with the first one's
// number and reason; every line it keeps reads as FromJson reads it, whichever way it went.
#include "TempDir.h"
#include "UpgradeRecordReader.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace sorvel::record {
namespace {

UpgradeAttempt Attempt(int n) {
    UpgradeAttempt a;
    a.start = std::chrono::system_clock::time_point(
        std::chrono::milliseconds(1'765'000'000'000 + n * 60'000LL));
    a.end = a.start + std::chrono::milliseconds(46'361);
    a.program = "sorvel-cli";
    a.version = "1.3.9";
    a.port = "COM3:";
    a.unit = "SN" + std::to_string(n);
    a.mode = "complete";
    a.files = {{".\\Ressources\\Sti.urt", 38400, 0x1a2b3c4d, 60, 2, true},
               {"Cartridge1.urt", 12, 0xffffffff, 1, 0, false}};
    a.outcome = "failed";
    a.failureClass = "line";
    a.reason = "Error during upload.\nThe box did not answer, \"COM3:\".";
    return a;
}

std::string Line(int n) {
    return ToJson(Attempt(n)).dump();
}

// Line(n) with a change made in its JSON.
std::string Changed(int n, const std::function<void(nlohmann::ordered_json&)>& change) {
    nlohmann::ordered_json object = ToJson(Attempt(n));
    change(object);
    return object.dump();
}

TEST(RecordReader, KeepsWholeRecordsAndCountsTheLinesItSkips) {
    struct Case {
        const char* what;
        std::string text;
        std::size_t kept, skipped, firstLine;
        const char* reason; // part of the first skipped line's reason
    };
    const Case cases[] = {
        {"empty", "", 0, 0, 0, ""},
        {"two records", Line(1) + "\n" + Line(2) + "\n", 2, 0, 0, ""},
        {"CR LF line ends and blank lines", Line(1) + "\r\n\r\n  \n" + Line(2) + "\r\n", 2, 0, 0,
         ""},
        {"a torn last line that parses", Line(1) + "\n" + Line(2), 1, 1, 2, "no end"},
        {"a torn last line cut in a text", Line(1) + "\n" + Line(2).substr(0, 100), 1, 1, 2,
         "no end"},
        {"a bad line, counted past a blank one", Line(1) + "\n\n{\"record\":\n" + Line(2) + "\n", 2,
         1, 3, "not JSON"},
        {"bad lines: the first is named",
         "garbage\n" + Line(1) + "\n" + Changed(2, [](auto& o) { o["record"] = 2; }) + "\n" +
             Line(3).substr(5),
         1, 3, 1, "not JSON"},
        {"a record of another version", Changed(1, [](auto& o) { o["record"] = 2; }) + "\n", 0, 1,
         1, "record version 2"},
        {"a field missing", Changed(1, [](auto& o) { o.erase("unit"); }) + "\n", 0, 1, 1,
         "no field \"unit\""},
        {"a file's crc32 that is no number",
         Changed(1, [](auto& o) { o["files"][0]["crc32"] = "1a2b3c4g"; }) + "\n", 0, 1, 1, "crc32"},
        {"a time without its milliseconds",
         Changed(1, [](auto& o) { o["end"] = "2026-12-10T09:41:17Z"; }) + "\n", 0, 1, 1, "time"},
        {"a time past what the clock holds",
         Changed(1, [](auto& o) { o["end"] = "4052-12-10T09:41:17.120Z"; }) + "\n", 0, 1, 1,
         "time"},
        {"a JSON array", "[1,2]\n", 0, 1, 1, "not a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RecordContents contents = ParseRecords(c.text);
        EXPECT_EQ(contents.attempts.size(), c.kept);
        EXPECT_EQ(contents.skipped, c.skipped);
        EXPECT_EQ(contents.firstSkippedLine, c.firstLine);
        EXPECT_NE(contents.firstSkipReason.find(c.reason), std::string::npos)
            << contents.firstSkipReason;
        std::istringstream stream(c.text);
        EXPECT_EQ(ReadRecords(stream).skipped, c.skipped);
    }
}

// The reader reads the usual line without building a JSON tree and leaves every other one to
// FromJson: whichever way a line goes, what it keeps is what FromJson reads.
TEST(RecordReader, ReadsEveryLineAsFromJsonDoes) {
    const std::string lines[] = {
        Line(1),
        Changed(1, [](auto& o) { o.erase("duration"); }),
        Changed(1,
                [](auto& o) {
                    o["extra"] = {{"nested", {1, 2, "three"}}};
                }),
        Changed(1,
                [](auto& o) {
                    o["duration"] = {{"a", {}}, {"b", nullptr}};
                }),
        Changed(1, [](auto& o) { o["files"][0]["resends"] = -3; }),
        Changed(1, [](auto& o) { o["files"][0]["size"] = 4.0; }),
        Changed(1, [](auto& o) { o["files"][0]["crc32"] = "ABCDEF01"; }),
        Changed(1, [](auto& o) { o["files"][1]["delivered"] = 1; }),
        Changed(1, [](auto& o) { o["files"][1]["records"] = 4294967296ULL; }),
        Changed(1, [](auto& o) { o["files"].push_back("a file"); }),
        Changed(1, [](auto& o) { o["files"] = nlohmann::ordered_json::array(); }),
        Changed(1, [](auto& o) { o["config"]["software"] = 7; }),
        Changed(1, [](auto& o) { o["config"]["more"] = "x"; }),
        Changed(1, [](auto& o) { o["reason"] = "caf\u00e9 \u2713 \"q\" \\ \t"; }),
        Changed(1, [](auto& o) { o["unit"] = nullptr; }),
        Changed(1, [](auto& o) { o["record"] = true; }),
        // Every field in the reverse order, and a field twice (the last one counts).
        [] {
            const nlohmann::ordered_json object = ToJson(Attempt(1));
            std::string text = "{";
            std::vector<std::string> fields;
            for (const auto& [key, value] : object.items())
                fields.insert(fields.begin(), nlohmann::json(key).dump() + ":" + value.dump());
            for (const std::string& field : fields)
                text += field + ",";
            return text + "\"unit\":\"twice\"}";
        }(),
        Line(2) + "  \t",
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        UpgradeAttempt expected;
        std::string error;
        const bool valid = FromJson(nlohmann::json::parse(line), &expected, &error);
        const RecordContents contents = ParseRecords(line + "\n");
        ASSERT_EQ(contents.attempts.size(), valid ? 1u : 0u) << error;
        if (valid)
            EXPECT_EQ(ToJson(contents.attempts[0]), ToJson(expected));
        else
            EXPECT_EQ(contents.firstSkipReason, error);
    }
}

// A record of some megabytes is read in pieces, side by side: the attempts stay in order and a
// skipped line keeps its number.
TEST(RecordReader, ReadsALargeRecordInOrderWithTheLineNumbersOfTheWhole) {
    std::string text;
    constexpr int kLines = 4000;
    for (int n = 0; n < kLines; ++n)
        text += (n == kLines - 10 ? std::string("garbage") : Line(n)) + "\n";
    text += Line(kLines).substr(0, 40);
    ASSERT_GT(text.size(), 2u << 20);
    const RecordContents contents = ParseRecords(text);
    ASSERT_EQ(contents.attempts.size(), kLines - 1u);
    EXPECT_EQ(contents.skipped, 2u);
    EXPECT_EQ(contents.firstSkippedLine, kLines - 9u);
    for (std::size_t i = 1; i < contents.attempts.size(); ++i)
        ASSERT_LT(contents.attempts[i - 1].start, contents.attempts[i].start) << i;
}

TEST(RecordReader, AFileThatCannotBeReadIsAnErrorWithTheSystemsReason) {
    test::TempDir dir;
    RecordContents contents;
    std::string error;
    EXPECT_FALSE(ReadRecordFile((dir.Path() / "none.jsonl").string(), &contents, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ReadRecordFile(dir.Path().string(), &contents, &error));
    const auto path = dir.Write("upgrades.jsonl", Line(1) + "\n" + Line(2));
    ASSERT_TRUE(ReadRecordFile(path.string(), &contents, &error)) << error;
    EXPECT_EQ(contents.attempts.size(), 1u);
    EXPECT_EQ(contents.skipped, 1u);
}

} // namespace
} // namespace sorvel::record
