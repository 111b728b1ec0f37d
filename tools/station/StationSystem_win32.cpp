// sorvel-station's system calls on Windows: the ports and the folder the dialog program reads
// (the registry), GetModuleFileNameW, the shell's open.
#include "StationSystem.h"

#include "NaturalOrder.h"
#include "Win32SerialPorts.h"
#include "Win32UpgradeFolder.h"

#include <algorithm>
#include <filesystem>
#include <shellapi.h>
#include <windows.h>

namespace sorvel::station {

const char* const kWorkerName = "sorvel-cli.exe";

std::vector<std::string> FindSerialPorts() {
    std::vector<std::string> ports = ListReportedComPorts();
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

std::string RememberedUpgradeFolder() {
    return sorvel::RememberedUpgradeFolder();
}

std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return std::filesystem::path(path).parent_path().string();
}

bool OpenInBrowser(const std::string& address, std::string* error) {
    const std::wstring wide(address.begin(), address.end()); // the address is ASCII
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32) {
        *error = "the system could not open a browser (" + std::to_string(result) + ")";
        return false;
    }
    return true;
}

} // namespace sorvel::station
