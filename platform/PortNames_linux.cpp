#include "PortNames.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace sorvel {
namespace {

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

std::string ComPortDevicePath(const std::string& name) {
    unsigned n = ComPortNumber(name);
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
