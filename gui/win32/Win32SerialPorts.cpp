#include "Win32SerialPorts.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Value names are device paths such as "\Device\Serial0" (at most 16383 characters by the
// registry's rules); the data is a port name, far shorter than this.
constexpr DWORD kMaxValueName = 16384;
constexpr DWORD kMaxPortName = 256;

} // namespace

std::vector<std::string> ListReportedComPorts() {
    std::vector<std::string> ports;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_QUERY_VALUE, &hKey) !=
        ERROR_SUCCESS)
        return ports;
    std::string valueName(kMaxValueName, '\0');
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = kMaxValueName;
        DWORD type = 0;
        BYTE data[kMaxPortName] = {};
        DWORD dataLength = sizeof data - 1; // room for a NUL that the registry may not have
        const LONG result = RegEnumValueA(hKey, index, valueName.data(), &nameLength, nullptr,
                                          &type, data, &dataLength);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        // A value too long for a port name, or of another type, is not one.
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const char* text = reinterpret_cast<const char*>(data);
        ports.emplace_back(text, strnlen(text, dataLength));
    }
    RegCloseKey(hKey);
    return ports;
}
