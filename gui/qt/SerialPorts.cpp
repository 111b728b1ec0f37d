#include "SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Device-name prefixes of serial ports: USB serial converters, USB modems (CDC ACM) and built-in
// UARTs.
constexpr const char* kUsbPrefixes[] = {"ttyUSB", "ttyACM"};
constexpr const char* kUartPrefix = "ttyS";

bool HasNumberedPrefix(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A ttyS node stands for a real UART when the kernel knows its type; without a type attribute
// a node that is bound to a driver counts.
bool IsRealUart(const fs::path& root, const std::string& name) {
    std::error_code ec;
    fs::path sysTty = root / "sys/class/tty" / name;
    std::ifstream typeFile(sysTty / "type");
    if (typeFile) {
        long type = 0;
        if (typeFile >> type)
            return type != 0;
        return false;
    }
    return fs::exists(sysTty / "device/driver", ec);
}

std::vector<std::string> DeviceNames(const fs::path& root) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(root / "dev", ec);
    if (ec)
        return names;
    for (const fs::directory_entry& entry : it) {
        std::string name = entry.path().filename().string();
        bool serial =
            std::any_of(std::begin(kUsbPrefixes), std::end(kUsbPrefixes),
                        [&](const char* prefix) { return HasNumberedPrefix(name, prefix); });
        if (!serial && HasNumberedPrefix(name, kUartPrefix))
            serial = IsRealUart(root, name);
        if (serial)
            names.push_back(name);
    }
    return names;
}

} // namespace

std::vector<std::string> ListSerialPorts(const fs::path& root) {
    std::vector<std::string> devices = DeviceNames(root);
    std::set<std::string> covered;
    std::vector<std::string> stable;

    // A by-id entry is a symbolic link such as "../../ttyUSB0"; it counts only when it leads to
    // one of the serial devices found above.
    std::error_code ec;
    fs::path byId = root / "dev/serial/by-id";
    fs::directory_iterator it(byId, ec);
    if (!ec) {
        for (const fs::directory_entry& entry : it) {
            std::error_code linkError;
            if (!entry.is_symlink(linkError))
                continue;
            fs::path target = fs::read_symlink(entry.path(), linkError);
            if (linkError)
                continue;
            // Resolve inside the root, without following anything outside it.
            fs::path resolved =
                target.is_absolute() ? (root / target.relative_path()) : (byId / target);
            resolved = resolved.lexically_normal();
            if (resolved.parent_path() != (root / "dev").lexically_normal())
                continue;
            std::string device = resolved.filename().string();
            if (std::find(devices.begin(), devices.end(), device) == devices.end())
                continue;
            covered.insert(device);
            stable.push_back("/dev/serial/by-id/" + entry.path().filename().string());
        }
    }

    std::vector<std::string> plain;
    for (const std::string& device : devices) {
        if (!covered.count(device))
            plain.push_back("/dev/" + device);
    }
    std::sort(stable.begin(), stable.end(), NaturalLess);
    std::sort(plain.begin(), plain.end(), NaturalLess);
    stable.insert(stable.end(), plain.begin(), plain.end());
    return stable;
}
