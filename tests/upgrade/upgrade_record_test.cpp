// The record's JSON: what a line holds, read back as written; times in UTC to the millisecond;
// lines that are not records of this version refused with the reason.
#include "UpgradeRecord.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace {

using namespace sorvel::record;
using Clock = std::chrono::system_clock;

Clock::time_point At(long long ms) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms)));
}

UpgradeAttempt Sample() {
    UpgradeAttempt a;
    a.start = At(1'796'895'677'120); // 2026-12-10T09:41:17.120Z
    a.end = At(1'796'895'723'481);
    a.program = "sorvel-cli";
    a.version = "1.3.9";
    a.host = "bench-2";
    a.user = "tech";
    a.port = "COM3:";
    a.folder = "C:\\Upgrades\\2.04";
    a.unit = "SN \"0042\"\n";
    a.config = {"STI 2.04", "HW 1.1", "Brevon 5.2", "", "DEMO"};
    a.mode = "complete";
    a.files = {{".\\Ressources\\Sti.urt", 38400, 0x1a2b3c4d, 60, 2, true},
               {".\\Ressources\\Cartridge1.urt", 32000, 0xfedcba98, 50, 0, false}};
    a.outcome = "failed";
    a.failureClass = "line";
    a.reason = "Error during upload.\nPlease check connection and try again.";
    return a;
}

TEST(UpgradeRecord, ALineReadsBackAsWritten) {
    const UpgradeAttempt a = Sample();
    const std::string line = ToJson(a).dump();
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one record, one line";
    EXPECT_EQ(line.rfind("{\"record\":1,\"start\":\"2026-12-10T09:41:17.120Z\","
                         "\"end\":\"2026-12-10T09:42:03.481Z\",\"duration\":46.361,",
                         0),
              0u)
        << line;
    EXPECT_NE(line.find("\"crc32\":\"1a2b3c4d\""), std::string::npos) << line;

    UpgradeAttempt b;
    std::string error;
    ASSERT_TRUE(FromJson(nlohmann::json::parse(line), &b, &error)) << error;
    EXPECT_EQ(ToJson(b).dump(), line);
    EXPECT_EQ(b.unit, a.unit);
    EXPECT_EQ(b.files.at(0).crc32, 0x1a2b3c4du);
    EXPECT_FALSE(b.files.at(1).delivered);
}

TEST(UpgradeRecord, TimesAreUtcToTheMillisecond) {
    const std::pair<long long, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951'782'400'999, "2000-02-29T00:00:00.999Z"},
        {4'102'444'799'001, "2099-12-31T23:59:59.001Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& [ms, text] : cases) {
        EXPECT_EQ(IsoUtc(At(ms)), text);
        Clock::time_point back;
        ASSERT_TRUE(ParseIsoUtc(text, &back)) << text;
        EXPECT_EQ(back, At(ms)) << text;
    }
    for (const char* bad : {"", "2026-12-10T09:41:17Z", "2026-13-10T09:41:17.120Z",
                            "2026-12-10 09:41:17.120Z", "2026-12-10T09:41:17.120Zx"}) {
        Clock::time_point ignored;
        EXPECT_FALSE(ParseIsoUtc(bad, &ignored)) << bad;
    }
}

TEST(UpgradeRecord, WhatIsNoRecordIsRefusedWithItsReason) {
    const nlohmann::json good = ToJson(Sample());
    auto changed = [&](const std::function<void(nlohmann::json&)>& change) {
        nlohmann::json j = good;
        change(j);
        return j;
    };
    const std::pair<nlohmann::json, const char*> cases[] = {
        {nlohmann::json::array(), "not a JSON object"},
        {changed([](auto& j) { j["record"] = 2; }), "record version 2"},
        {changed([](auto& j) { j.erase("port"); }), "no field \"port\""},
        {changed([](auto& j) {
             j["duration"] = "x";
             j["files"] = 3;
         }),
         "\"files\" is not"},
        {changed([](auto& j) { j["start"] = "yesterday"; }), "UTC ISO 8601"},
        {changed([](auto& j) { j["files"][0]["crc32"] = "12"; }), "crc32"},
        {changed([](auto& j) { j["files"][0]["records"] = "60"; }), "\"records\" has the wrong"},
        // Counts are integers in range: a float or a huge number is no count.
        {changed([](auto& j) { j["files"][0]["records"] = 1e20; }), "\"records\" has the wrong"},
        {changed([](auto& j) { j["files"][0]["size"] = -1; }), "\"size\" has the wrong"},
        {changed([](auto& j) { j["files"][0]["resends"] = 4294967296LL; }), "\"resends\""},
        {changed([](auto& j) { j["files"][0]["delivered"] = 1; }), "\"delivered\""},
        {changed([](auto& j) { j["config"].erase("pellum"); }), "\"pellum\""},
    };
    for (const auto& [json, reason] : cases) {
        UpgradeAttempt a;
        std::string error;
        EXPECT_FALSE(FromJson(json, &a, &error)) << json.dump();
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    EXPECT_EQ(OutcomeName(UpgradeResult::Stopped), "stopped");
    EXPECT_EQ(FailureClassName(FailureClass::BoxRefused), "box-refused");
}

} // namespace
