// The upgrade record: one JSON object per upgrade attempt, one line each, appended to a record
// file per user. Every front end writes it (the dialog programs and sorvel-cli), sorvel-cli's
// --json result event carries the same fields, and sorvel-record reads it back.
//
// A line, with its fields in this order (the record's version is "record": 1):
//
//   {"record":1,"start":"2026-12-10T09:41:17.120Z","end":"2026-12-10T09:42:03.481Z",
//    "duration":46.361,"program":"sorvel-cli","version":"1.3.9","host":"bench-2","user":"tech",
//    "port":"COM3:","folder":"/home/tech/upgrade","unit":"SN0042",
//    "config":{"software":"STI 2.04","hardware":"HW 1.1","brevon":"Brevon 5.2",
//              "pellum":"Pellum 3.0","cartridge":"DEMO"},
//    "mode":"complete",
//    "files":[{"path":".\\Ressources\\Sti.urt","size":38400,"crc32":"1a2b3c4d","records":60,
//              "resends":0,"delivered":true}, ...],
//    "outcome":"failed","class":"line","reason":"Error during upload.\n...","trace":""}
//
// outcome: "updated", "failed" or "stopped"; class: "" (updated), "configuration", "port",
// "line", "box-refused", "user", "file-changed"; mode: "complete", "sti", "cartridge". Times are
// UTC, ISO 8601 with milliseconds. unit and trace are "" when there is none.
#pragma once

#include "SequenceOutcome.h"
#include "SorvelWinTypes.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace sorvel::record {

constexpr int kRecordVersion = 1;

struct RecordedFile {
    std::string path; // as the configuration names it
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0; // the configuration's expected CRC-32
    std::uint32_t records = 0;
    int resends = 0; // how often the box asked for a record of this file again
    bool delivered = false;
};

struct ConfigVersions {
    std::string software, hardware, brevon, pellum, cartridge;
};

struct UpgradeAttempt {
    std::chrono::system_clock::time_point start{};
    std::chrono::system_clock::time_point end{};
    std::string program, version, host, user;
    std::string port, folder, unit;
    ConfigVersions config;
    std::string mode; // "complete", "sti", "cartridge"
    std::vector<RecordedFile> files;
    std::string outcome;      // "updated", "failed", "stopped"
    std::string failureClass; // "" for updated
    std::string reason;       // the message shown at the end
    std::string trace;        // the trace file, "" when none
};

// The names the record uses.
std::string OutcomeName(UpgradeResult result);
std::string FailureClassName(FailureClass failure);
std::string ModeName(BYTE mode); // MODE_COMPLETE ... ; "" for MODE_NONE
// The mode of a name ModeName gives; none for any other text.
std::optional<BYTE> ModeFromName(const std::string& name);
// "2026-12-10T09:41:17.120Z"; ParseIsoUtc gives false for anything else.
std::string IsoUtc(std::chrono::system_clock::time_point when);
bool ParseIsoUtc(const std::string& text, std::chrono::system_clock::time_point* when);

// The configuration's versions as the record's "config" object.
nlohmann::ordered_json ToJson(const ConfigVersions& config);
// The attempt as the record's JSON object (fields as in the header comment).
nlohmann::ordered_json ToJson(const UpgradeAttempt& attempt);
// Reads one record object back; false with *error set when a field is missing or of the wrong
// type, or the record's version is not one this reader knows.
bool FromJson(const nlohmann::json& object, UpgradeAttempt* attempt, std::string* error);

} // namespace sorvel::record
