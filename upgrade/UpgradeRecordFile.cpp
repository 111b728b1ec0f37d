#include "UpgradeRecordFile.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace sorvel::record {

std::string DefaultRecordPath() {
    // Set but empty: the user wants no record (tests, a shared machine).
    if (const char* chosen = std::getenv("SORVEL_RECORD"))
        return chosen;
    const std::string folder = os::StateFolder();
    if (folder.empty())
        return {};
    return (std::filesystem::path(folder) / "upgrades.jsonl").string();
}

bool AppendRecord(const std::string& path, const UpgradeAttempt& attempt, std::string* error) {
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    std::string line;
    try {
        // Invalid UTF-8 (a folder name in a legacy code page) is replaced, not refused: the
        // record matters more than one character of a name.
        line = ToJson(attempt).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        line += '\n';
        const std::filesystem::path file(path);
        if (file.has_parent_path()) {
            std::error_code made;
            std::filesystem::create_directories(file.parent_path(), made);
            if (made) {
                *error =
                    "cannot make the folder " + file.parent_path().string() + ": " + made.message();
                return false;
            }
        }
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    return os::AppendLocked(path, line, error);
}

} // namespace sorvel::record
