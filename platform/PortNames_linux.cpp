#include "PortNames.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace sorvel {
namespace {

// Parses "COMn" or "COMn:" (any case, n from 1 without leading zeros); 0 when the name is
// something else.
unsigned ComNumberOf(const std::string& name) {
    if (name.size() < 4)
        return 0;
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm')
        return 0;
    std::size_t end = name.size();
    if (name.back() == ':')
        --end;
    if (end <= 3 || end - 3 > 6 || name[3] == '0')
        return 0;
    unsigned n = 0;
    for (std::size_t i = 3; i < end; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config";
    return {};
}

} // namespace

unsigned ComPortNumber(const std::string& name) {
    return ComNumberOf(name);
}

std::string ComPortDevicePath(const std::string& name) {
    unsigned n = ComNumberOf(name);
    if (n == 0)
        return name;
    std::string config = ConfigHome();
    if (!config.empty()) {
        std::string mapped = config + "/sorvel/dosdevices/com" + std::to_string(n);
        struct stat st {};
        // The link itself decides: a dangling one still names the device the user meant, and
        // its open error then says which path is missing.
        if (::lstat(mapped.c_str(), &st) == 0)
            return mapped;
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string ComPortTarget(const std::string& name) {
    const std::string path = ComPortDevicePath(name);
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? std::string() : target.string();
}

} // namespace sorvel
