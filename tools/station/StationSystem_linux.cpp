// sorvel-station's system calls on Linux: /dev for ports, the dialog program's QSettings file,
// /proc/self/exe, xdg-open.
#include "StationSystem.h"

#include "NaturalOrder.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace sorvel::station {

const char* const kWorkerName = "sorvel-cli";

std::vector<std::string> FindSerialPorts() {
    std::vector<std::string> ports;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0)
            ports.push_back(entry.path().string());
    }
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
    return ports;
}

std::string RememberedUpgradeFolder() {
    // Qt keeps the dialog program's settings as an INI file: [General] upgradeFolder=...
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path folder;
    if (config != nullptr && config[0] == '/')
        folder = config;
    else if (home != nullptr && home[0] != '\0')
        folder = std::filesystem::path(home) / ".config";
    else
        return {};
    std::ifstream in(folder / "Sorvel" / "Sorvel_User.conf");
    std::string line;
    const std::string key = "upgradeFolder=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

std::string ProgramFolder() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

bool OpenInBrowser(const std::string& address, std::string* error) {
    const char* argv[] = {"xdg-open", address.c_str(), nullptr};
    // The browser gets the signals this program blocks (Ctrl-C) as a program normally has them.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none, stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&stops, sig);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &stops);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int failed = ::posix_spawnp(&pid, "xdg-open", nullptr, &attributes,
                                      const_cast<char* const*>(argv), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        *error = "xdg-open: " + std::generic_category().message(failed);
        return false;
    }
    // xdg-open may run the browser itself and wait for it: it is reaped on a thread of its own.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

} // namespace sorvel::station
