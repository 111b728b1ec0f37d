#include "UpgradeRecord.h"

#include "UpgradeModes.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <type_traits>

namespace sorvel::record {
namespace {

using Clock = std::chrono::system_clock;

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

bool ParseHex8(const std::string& text, std::uint32_t* value) {
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
    return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long* y, unsigned* m, unsigned* d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<long long>(yoe) + era * 400 + (*m <= 2);
}

// Whether a JSON number is an integer that T holds. Counts in a record are integers; a float or
// an integer out of range is refused here rather than converted (which would be undefined).
template <typename T>
bool FitsInteger(const nlohmann::json& value) {
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>() <=
               static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    if (value.is_number_integer()) {
        const std::int64_t n = value.get<std::int64_t>();
        return n >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
               (n < 0 || static_cast<std::uint64_t>(n) <=
                             static_cast<std::uint64_t>(std::numeric_limits<T>::max()));
    }
    return false;
}

template <typename T>
bool Take(const nlohmann::json& object, const char* key, T* value, std::string* error) {
    const auto it = object.find(key);
    if (it == object.end()) {
        *error = std::string("no field \"") + key + "\"";
        return false;
    }
    const std::string wrongType = std::string("field \"") + key + "\" has the wrong type";
    if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean()) {
            *error = wrongType;
            return false;
        }
    } else if constexpr (std::is_integral_v<T>) {
        if (!FitsInteger<T>(*it)) {
            *error = wrongType;
            return false;
        }
    }
    try {
        *value = it->get<T>();
    } catch (const nlohmann::json::exception&) {
        *error = wrongType;
        return false;
    }
    return true;
}

} // namespace

std::string OutcomeName(UpgradeResult result) {
    switch (result) {
    case UpgradeResult::Updated:
        return "updated";
    case UpgradeResult::Stopped:
        return "stopped";
    case UpgradeResult::Failed:
        break;
    }
    return "failed";
}

std::string FailureClassName(FailureClass failure) {
    switch (failure) {
    case FailureClass::None:
        return "";
    case FailureClass::Configuration:
        return "configuration";
    case FailureClass::Port:
        return "port";
    case FailureClass::Line:
        return "line";
    case FailureClass::BoxRefused:
        return "box-refused";
    case FailureClass::User:
        return "user";
    case FailureClass::FileChanged:
        return "file-changed";
    }
    return "";
}

std::string ModeName(BYTE mode) {
    switch (mode) {
    case MODE_COMPLETE:
        return "complete";
    case MODE_STI_ONLY:
        return "sti";
    case MODE_CARTRIDGE_ONLY:
        return "cartridge";
    default:
        return "";
    }
}

nlohmann::ordered_json ToJson(const ConfigVersions& config) {
    return {{"software", config.software},
            {"hardware", config.hardware},
            {"brevon", config.brevon},
            {"pellum", config.pellum},
            {"cartridge", config.cartridge}};
}

std::optional<BYTE> ModeFromName(const std::string& name) {
    for (const BYTE mode : {MODE_COMPLETE, MODE_STI_ONLY, MODE_CARTRIDGE_ONLY})
        if (name == ModeName(mode))
            return mode;
    return std::nullopt;
}

std::string IsoUtc(Clock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    long long days = ms / 86'400'000;
    long long rest = ms % 86'400'000;
    if (rest < 0) {
        rest += 86'400'000;
        --days;
    }
    long long y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", y, m, d,
                  rest / 3'600'000, rest / 60'000 % 60, rest / 1000 % 60, rest % 1000);
    return text;
}

bool ParseIsoUtc(const std::string& text, Clock::time_point* when) {
    int y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    int used = 0;
    if (text.size() != 24 ||
        std::sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u.%3uZ%n", &y, &mo, &d, &h, &mi, &s, &ms,
                    &used) != 7 ||
        used != 24 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    const long long days = DaysFromCivil(y, mo, d);
    const long long total = ((days * 24 + h) * 60 + mi) * 60 + s;
    // Where the clock counts nanoseconds in 64 bits it holds the years 1678 to 2262 only; a
    // damaged line's year 4052 would overflow it.
    constexpr long long kClockSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count() - 1;
    if (total > kClockSeconds || total < -kClockSeconds)
        return false;
    *when = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(total) + std::chrono::milliseconds(ms)));
    return true;
}

nlohmann::ordered_json ToJson(const UpgradeAttempt& a) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const RecordedFile& f : a.files) {
        files.push_back({{"path", f.path},
                         {"size", f.size},
                         {"crc32", Hex8(f.crc32)},
                         {"records", f.records},
                         {"resends", f.resends},
                         {"delivered", f.delivered}});
    }
    const double duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(a.end - a.start).count() / 1000.0;
    return {{"record", kRecordVersion}, {"start", IsoUtc(a.start)}, {"end", IsoUtc(a.end)},
            {"duration", duration},     {"program", a.program},     {"version", a.version},
            {"host", a.host},           {"user", a.user},           {"port", a.port},
            {"folder", a.folder},       {"unit", a.unit},           {"config", ToJson(a.config)},
            {"mode", a.mode},           {"files", files},           {"outcome", a.outcome},
            {"class", a.failureClass},  {"reason", a.reason},       {"trace", a.trace}};
}

bool FromJson(const nlohmann::json& object, UpgradeAttempt* a, std::string* error) {
    std::string ignored;
    if (!error)
        error = &ignored;
    if (!object.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    int version = 0;
    if (!Take(object, "record", &version, error))
        return false;
    if (version != kRecordVersion) {
        *error = "record version " + std::to_string(version) + " is not known";
        return false;
    }
    UpgradeAttempt r;
    std::string start, end;
    nlohmann::json config, files;
    if (!Take(object, "start", &start, error) || !Take(object, "end", &end, error) ||
        !Take(object, "program", &r.program, error) ||
        !Take(object, "version", &r.version, error) || !Take(object, "host", &r.host, error) ||
        !Take(object, "user", &r.user, error) || !Take(object, "port", &r.port, error) ||
        !Take(object, "folder", &r.folder, error) || !Take(object, "unit", &r.unit, error) ||
        !Take(object, "config", &config, error) || !Take(object, "mode", &r.mode, error) ||
        !Take(object, "files", &files, error) || !Take(object, "outcome", &r.outcome, error) ||
        !Take(object, "class", &r.failureClass, error) ||
        !Take(object, "reason", &r.reason, error) || !Take(object, "trace", &r.trace, error))
        return false;
    if (!ParseIsoUtc(start, &r.start) || !ParseIsoUtc(end, &r.end)) {
        *error = "a time is not UTC ISO 8601 with milliseconds";
        return false;
    }
    if (!config.is_object() || !Take(config, "software", &r.config.software, error) ||
        !Take(config, "hardware", &r.config.hardware, error) ||
        !Take(config, "brevon", &r.config.brevon, error) ||
        !Take(config, "pellum", &r.config.pellum, error) ||
        !Take(config, "cartridge", &r.config.cartridge, error)) {
        if (error->empty())
            *error = "field \"config\" is not an object";
        return false;
    }
    if (!files.is_array()) {
        *error = "field \"files\" is not an array";
        return false;
    }
    for (const nlohmann::json& f : files) {
        RecordedFile file;
        std::string crc;
        if (!f.is_object() || !Take(f, "path", &file.path, error) ||
            !Take(f, "size", &file.size, error) || !Take(f, "crc32", &crc, error) ||
            !Take(f, "records", &file.records, error) ||
            !Take(f, "resends", &file.resends, error) ||
            !Take(f, "delivered", &file.delivered, error)) {
            if (error->empty())
                *error = "a file is not an object";
            return false;
        }
        if (!ParseHex8(crc, &file.crc32)) {
            *error = "a file's crc32 is not 8 hexadecimal digits";
            return false;
        }
        r.files.push_back(std::move(file));
    }
    *a = std::move(r);
    return true;
}

} // namespace sorvel::record
