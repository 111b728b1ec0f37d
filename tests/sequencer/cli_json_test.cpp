// sorvel-cli --json end to end: every line of standard output is one event of the documented
// schema (docs/cli-json-events.md), in an order a station can follow, ending with one result
// that agrees with the exit status.
#include "ChildProcess.h"
#include "SimulatedUpgrade.h"
#include "TempDir.h"
#include "UpgradeRecord.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using namespace sorvel::test;
using json = nlohmann::json;

// The fields each event must carry and their types: s string, i integer, n number, a array, o
// object, i? integer or null (docs/cli-json-events.md).
const std::map<std::string, std::string> kSchema = {
    {"config", "port:s folder:s config:o mode:s files:a"},
    {"file-started", "index:i count:i path:s size:i"},
    {"waiting", "index:i seconds:i"},
    {"progress", "index:i percent:i bytes:i bytes_per_second:i? seconds_left:i?"},
    {"file-completed", "index:i path:s resends:i"},
    {"prompt", "id:i text:s flags:i answers:a"},
    {"message", "text:s flags:i"},
    {"result", "record:i outcome:s class:s reason:s files:a duration:n"},
};

bool Is(const json& value, const std::string& type) {
    return (type == "s" && value.is_string()) || (type == "n" && value.is_number()) ||
           (type == "a" && value.is_array()) || (type == "o" && value.is_object()) ||
           (type[0] == 'i' && value.is_number_integer()) || (type == "i?" && value.is_null());
}

// Parses a run's standard output and checks every event against the schema and the order the
// documentation promises; the events, in order.
std::vector<json> CheckStream(const std::string& out, int status) {
    std::vector<json> events;
    std::istringstream lines(out);
    std::string line;
    EXPECT_TRUE(out.empty() || out.back() == '\n') << "a partial last line";
    while (std::getline(lines, line)) {
        json event = json::parse(line, nullptr, false);
        if (!event.is_object()) {
            ADD_FAILURE() << "not a JSON object: " << line;
            continue;
        }
        EXPECT_EQ(event.value("schema", 0), 1) << line;
        std::chrono::system_clock::time_point when;
        EXPECT_TRUE(sorvel::record::ParseIsoUtc(event.value("time", ""), &when)) << line;
        const auto kind = kSchema.find(event.value("event", ""));
        if (kind == kSchema.end()) {
            ADD_FAILURE() << "unknown event: " << line;
            continue;
        }
        std::istringstream fields(kind->second);
        std::string field;
        while (fields >> field) {
            const std::string name = field.substr(0, field.find(':'));
            EXPECT_TRUE(event.contains(name) && Is(event[name], field.substr(name.size() + 1)))
                << field << ": " << line;
        }
        events.push_back(std::move(event));
    }

    // Each file: started, then its progress rising, then completed (or the run ends in it).
    int current = 0;
    int percent = 0;
    int results = 0;
    for (const json& e : events) {
        const std::string name = e["event"];
        if (name == "file-started") {
            EXPECT_EQ(current, 0) << "a file started inside another";
            current = e["index"];
            percent = 0;
        } else if (name == "progress" || name == "waiting") {
            EXPECT_EQ(e["index"], current) << e;
            if (name == "progress") {
                EXPECT_GT(e["percent"].get<int>(), percent) << e;
                EXPECT_LE(e["percent"].get<int>(), 100) << e;
                percent = e["percent"];
            }
        } else if (name == "file-completed") {
            EXPECT_EQ(e["index"], current) << e;
            EXPECT_EQ(percent, 100) << "a file completed below 100 %";
            current = 0;
        } else if (name == "result") {
            ++results;
        }
    }
    EXPECT_EQ(results, 1);
    if (!events.empty()) {
        const json& result = events.back();
        EXPECT_EQ(result["event"], "result");
        EXPECT_EQ(result["outcome"] == "updated", status == 0) << result;
        sorvel::record::UpgradeAttempt attempt;
        std::string error;
        EXPECT_TRUE(sorvel::record::FromJson(result, &attempt, &error)) << error;
    }
    return events;
}

// The names of the events, space-separated, a run of "progress" or of "waiting" events as one.
std::string Outline(const std::vector<json>& events) {
    std::string names, last;
    for (const json& e : events) {
        const std::string name = e["event"];
        if (name != last || (name != "progress" && name != "waiting"))
            names += (names.empty() ? "" : " ") + name;
        last = name;
    }
    return names;
}

// A complete update and the ways a run can fail, through --json; the prompts are answered on
// standard input.
TEST(CliJsonTest, EveryLineIsAnEventOfTheSchemaAndTheResultMatchesTheExitStatus) {
    const std::string file = "file-started progress file-completed";
    struct Case {
        const char* name;
        const char* mode;
        std::string input;
        unsigned hangUpAfter; // records
        bool silent;          // the box never answers; Ctrl-C after two seconds of waiting
        bool configuration;
        int status;
        std::string outcome, failureClass, outline;
        std::size_t delivered;
    } cases[] = {
        {"complete update", "complete", "ok\nok\n", 0, false, true, 0, "updated", "",
         "config " + file + " prompt " + file + " prompt " + file + " message result", 3},
        {"hang-up mid-file", "sti", "", 3, false, true, 1, "failed", "line",
         "config file-started progress message result", 0},
        {"reboot prompt refused", "complete", "cancel\n", 0, false, true, 1, "stopped", "user",
         "config " + file + " prompt message result", 1},
        {"box silent, then Ctrl-C", "sti", "", 0, true, true, 1, "stopped", "user",
         "config file-started waiting result", 0},
        {"no configuration", "sti", "", 0, false, false, 1, "failed", "configuration",
         "message result", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        UpgradeFolder folder({6, 300}, {6, 500}, {3, 200});
        folder.windowsPaths = true;
        folder.softwareVersion = "STI \xe9t\xe9"; // no UTF-8: the event still parses
        std::vector<std::string> files;
        if (c.configuration) {
            folder.Write(dir);
            for (const char* f : {"sti.urt", "cart1.urt", "cart2.urt"})
                files.push_back((dir.Path() / "Ressources" / f).string());
            files.resize(std::string(c.mode) == "complete" ? 3 : 1);
        }
        sorvel::boxsim::Options options;
        options.hangUpAfter = c.hangUpAfter;
        options.answerHandshake = !c.silent;
        auto box = StartBox(files, options);

        ChildProcess cli(
            SORVEL_CLI_PATH,
            {"--port", box->SlavePath(), "--mode", c.mode, "--json", dir.Path().string()},
            {"SORVEL_RECORD="});
        cli.Input(c.input);
        if (c.silent) {
            ASSERT_TRUE(cli.WaitForOutput("\"seconds\":2", 10s)) << cli.out;
            cli.Signal(SIGINT);
        }
        const int status = cli.Wait(30s);
        EXPECT_EQ(status, c.status) << cli.err;
        const std::vector<json> events = CheckStream(cli.out, status);
        EXPECT_EQ(Outline(events), c.outline) << cli.out;
        if (events.empty())
            continue;
        const json& result = events.back();
        EXPECT_EQ(result["outcome"], c.outcome);
        EXPECT_EQ(result["class"], c.failureClass);
        std::size_t delivered = 0;
        for (const json& f : result["files"])
            delivered += f["delivered"].get<bool>() ? 1 : 0;
        EXPECT_EQ(delivered, c.delivered) << result;
        EXPECT_EQ(box->GetReport().filesCompleted, c.delivered);
        std::string lastMessage;
        for (const json& e : events) {
            if (e["event"] == "message")
                lastMessage = e["text"];
            if (e["event"] == "prompt") {
                EXPECT_EQ(e["answers"], json({"ok", "cancel"}));
            }
            if (e["event"] != "config")
                continue;
            // The files as the result names them, before they went.
            EXPECT_EQ(e["files"].size(), result["files"].size());
            for (std::size_t i = 0; i < e["files"].size(); ++i)
                for (const char* key : {"path", "size", "crc32", "records"})
                    EXPECT_EQ(e["files"][i][key], result["files"][i][key]) << key;
            EXPECT_EQ(e["files"][0]["records"], 6);
            EXPECT_EQ(e["config"]["software"], "STI \xef\xbf\xbdt\xef\xbf\xbd");
        }
        // The result's reason is the last message; after Ctrl-C, which shows none, what the
        // box holds.
        EXPECT_EQ(result["reason"],
                  c.silent ? "Stopped. Nothing was sent to the box." : lastMessage);
    }
}

} // namespace
