// sorvel-record's commands and filters on a small record written by the test, with a bad line and
// a torn last line in it; the CSV read back by an RFC 4180 parser of the test's own.
#include "RecordTool.h"
#include "TempDir.h"
#include "UpgradeRecord.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace sorvel::tool {
namespace {

using record::UpgradeAttempt;

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun Tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunRecordTool(args, out, err);
    return {status, out.str(), err.str()};
}

UpgradeAttempt Attempt(const std::string& start, int seconds, const std::string& program,
                       const std::string& port, const std::string& unit, const std::string& mode,
                       const std::string& outcome, const std::string& failureClass,
                       const std::string& reason) {
    UpgradeAttempt a;
    EXPECT_TRUE(record::ParseIsoUtc(start, &a.start)) << start;
    a.end = a.start + std::chrono::seconds(seconds);
    a.program = program;
    a.port = port;
    a.unit = unit;
    a.mode = mode;
    a.outcome = outcome;
    a.failureClass = failureClass;
    a.reason = reason;
    a.files = {{".\\Ressources\\Sti.urt", 38400, 0x1a2b3c4d, 60, 2, true},
               {"Cartridge, 1.urt", 12, 0xffffffff, 1, 0, false}};
    return a;
}

// Reads CSV as RFC 4180 has it, after a UTF-8 byte order mark: records end with CR LF (the last
// one too), a quoted field may hold commas, CR LF, LF and doubled quotes, an unquoted one none
// of these.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    std::size_t i = 3;
    std::vector<std::string> row;
    std::string field;
    while (i < text.size()) {
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) {
                    ADD_FAILURE() << "a quoted field runs to the end";
                    return rows;
                }
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"')
                    field += text[i++];
                else if (text[i] == '"')
                    break;
                else
                    field += text[i];
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r') {
                EXPECT_TRUE(text[i] != '"' && text[i] != '\n') << "unquoted at byte " << i;
                field += text[i++];
            }
        }
        row.push_back(std::move(field));
        field.clear();
        if (i < text.size() && text[i] == ',') {
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            rows.push_back(std::move(row));
            row.clear();
            i += 2;
        } else {
            ADD_FAILURE() << "a field not ended by a comma or CR LF at byte " << i;
            return rows;
        }
    }
    EXPECT_TRUE(row.empty()) << "the last record has no CR LF";
    return rows;
}

class RecordTool : public ::testing::Test {
protected:
    RecordTool() {
        // In the record's order, which is the order the attempts ended: B started before C.
        const UpgradeAttempt attempts[] = {
            Attempt("2026-12-08T08:00:00.000Z", 46, "sorvel-cli", "COM3:", "SN1", "complete",
                    "updated", "", "The box was updated."),
            Attempt("2026-12-10T09:41:17.120Z", 10, "sorvel-cli", "COM3:", "SN1", "cartridge",
                    "stopped", "user", "Upload cancelled."),
            Attempt("2026-12-09T10:00:00.000Z", 3, "Sorvel_User", "COM4:", "SN2, shelf \"B\"",
                    "sti", "failed", "line",
                    "Error during upload.\nThe box did not answer, \"twice\"."),
            Attempt("2026-12-10T23:59:59.999Z", 1, "sorvel-cli", "/dev/ttyUSB0", "", "complete",
                    "failed", "port", "Cannot open the port."),
        };
        std::string text;
        for (const UpgradeAttempt& a : attempts) {
            text += record::ToJson(a).dump() + "\n";
            if (&a == &attempts[1])
                text += "{\"record\":1,\n";
        }
        text += record::ToJson(attempts[0]).dump().substr(0, 60);
        record = dir.Write("upgrades.jsonl", text).string();
    }

    ToolRun RunOnRecord(std::vector<std::string> args) const {
        args.insert(args.end(), {"--file", record});
        return Tool(args);
    }

    test::TempDir dir;
    std::string record;
};

// The attempts named by the start of their start time, as list and csv show it.
constexpr const char* A = "2026-12-08 08:00:00";
constexpr const char* B = "2026-12-09 10:00:00";
constexpr const char* C = "2026-12-10 09:41:17";
constexpr const char* D = "2026-12-10 23:59:59";

TEST_F(RecordTool, ListsAndExportsTheAttemptsTheFiltersKeep) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> shown; // in the order shown
    };
    const Case cases[] = {
        {{}, {D, C, B, A}},
        {{"list"}, {D, C, B, A}},
        {{"--unit", "SN1"}, {C, A}},
        {{"--unit", "SN2, shelf \"B\""}, {B}},
        {{"list", "--port", "COM3:"}, {C, A}},
        {{"--outcome", "failed"}, {D, B}},
        {{"--program", "Sorvel_User"}, {B}},
        {{"--program", "sorvel-cli", "--outcome", "failed"}, {D}},
        {{"--since", "2026-12-10"}, {D, C}},
        {{"--until", "2026-12-09"}, {B, A}},
        {{"--since", "2026-12-09T10:00", "--until", "2026-12-10 09:41:17"}, {C, B}},
        {{"--until", "2026-12-10T09:41:17.120Z"}, {C, B, A}},
        {{"--until", "2026-12-10T09:41:17.119z"}, {B, A}},
        {{"--unit", "SN9"}, {}},
        {{"csv"}, {A, B, C, D}},
        {{"csv", "--unit", "SN1"}, {A, C}},
        {{"--outcome=stopped", "csv"}, {C}},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunOnRecord(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args) + "\n" + run.out);
        ASSERT_EQ(run.status, kRecordExitOk) << run.err;
        EXPECT_NE(run.err.find("skipped 2 lines that are not a whole record (first: line 3, "),
                  std::string::npos)
            << run.err;
        std::vector<std::string> shown;
        if (!c.args.empty() && (c.args[0] == "csv" || c.args.back() == "csv")) {
            const auto rows = ParseCsv(run.out);
            ASSERT_FALSE(rows.empty());
            for (std::size_t i = 1; i < rows.size(); ++i) {
                EXPECT_EQ(rows[i].size(), rows[0].size());
                shown.push_back(rows[i][0].substr(0, 19));
            }
        } else {
            std::istringstream lines(run.out);
            std::string line;
            std::getline(lines, line);
            EXPECT_EQ(line.rfind(c.shown.empty() ? "no upgrade attempts" : "START (UTC)", 0), 0u);
            while (std::getline(lines, line))
                shown.push_back(line.substr(0, 19));
        }
        EXPECT_EQ(shown, c.shown);
    }
}

TEST_F(RecordTool, ListShowsOneLinePerAttemptWithTheReasonsFirstLine) {
    const ToolRun run = RunOnRecord({"--unit", "SN2, shelf \"B\""});
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\n2026-12-09 10:00:00 +Sorvel_User +COM4: "
                                                      "+SN2, shelf \"B\" +sti +failed +line +3\\.0 "
                                                      "s +Error during upload\\.\n$")))
        << run.out;
}

TEST_F(RecordTool, CsvHoldsEveryFieldQuotedAsRfc4180Says) {
    const ToolRun run = RunOnRecord({"csv", "--program", "Sorvel_User"});
    const auto rows = ParseCsv(run.out);
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<std::string>& header = rows[0];
    auto field = [&](const std::string& name) {
        const auto it = std::find(header.begin(), header.end(), name);
        EXPECT_NE(it, header.end()) << name;
        return it == header.end() ? std::string() : rows[1][it - header.begin()];
    };
    EXPECT_EQ(field("start (UTC)"), "2026-12-09 10:00:00.000");
    EXPECT_EQ(field("duration (s)"), "3.000");
    EXPECT_EQ(field("unit"), "SN2, shelf \"B\"");
    EXPECT_EQ(field("reason"), "Error during upload.\nThe box did not answer, \"twice\".");
    EXPECT_EQ(field("class"), "line");
    EXPECT_EQ(field("files"), ".\\Ressources\\Sti.urt, 38400 bytes, crc32 1a2b3c4d, delivered, 2 "
                              "resends\nCartridge, 1.urt, 12 bytes, crc32 ffffffff, not "
                              "delivered, 0 resends");

    // -o writes the same bytes to a file.
    const std::string file = (dir.Path() / "out.csv").string();
    const ToolRun toFile = RunOnRecord({"csv", "-o", file, "--program", "Sorvel_User"});
    ASSERT_EQ(toFile.status, kRecordExitOk) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), run.out);
}

TEST_F(RecordTool, SummaryCountsOutcomesAndClassesAndTheMedianDurationPerMode) {
    const ToolRun run = RunOnRecord({"summary"});
    ASSERT_EQ(run.status, kRecordExitOk) << run.err;
    for (const char* line : {"attempts +4", "updated +1", "failed +2", "  line +1", "  port +1",
                             "stopped +1", "complete +2 +23\\.5 s +1 +46\\.0 s",
                             "sti +1 +3\\.0 s +0 +-", "cartridge +1 +10\\.0 s +0 +-"}) {
        EXPECT_TRUE(std::regex_search(run.out, std::regex("(^|\n)" + std::string(line) + "\n")))
            << line << "\n"
            << run.out;
    }
    EXPECT_NE(
        RunOnRecord({"summary", "--outcome", "updated"}).out.find("attempts                  1"),
        std::string::npos);
}

TEST_F(RecordTool, WrongUsageIsStatus2AndAnUnreadableRecordStatus1) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    };
    const std::string missing = (dir.Path() / "none.jsonl").string();
    const Case cases[] = {
        {{"--outcome", "done", "--file", record}, kRecordExitUsage, "--outcome: 'done'"},
        {{"--since", "yesterday", "--file", record}, kRecordExitUsage, "--since: 'yesterday'"},
        {{"--until", "2026-02-30T25:00", "--file", record}, kRecordExitUsage, "--until"},
        {{"bogus", "--file", record}, kRecordExitUsage, "unknown command 'bogus'"},
        {{"list", "--nope", "--file", record}, kRecordExitUsage, "unknown option '--nope'"},
        {{"csv", "-o", "", "--file", record}, kRecordExitUsage, "csv: option '-o'"},
        {{"--file="}, kRecordExitUsage, "--file"},
        {{"--file", missing}, kRecordExitUnreadable, "cannot read the record"},
        {{"--file", dir.Path().string()}, kRecordExitUnreadable, "cannot read the record"},
        {{"csv", "-o", dir.Path().string(), "--file", record},
         kRecordExitUnreadable,
         "cannot write"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

} // namespace
} // namespace sorvel::tool
