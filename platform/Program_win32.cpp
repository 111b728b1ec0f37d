// The program's own path and the system's error texts, as Windows gives them.
#include "Program.h"

#include <array>
#include <cstring>
#include <string>
#include <windows.h>

namespace sorvel {

std::string ProgramFilePath() {
    // The module of the process (null), not of the library this code lives in.
    std::array<char, MAX_PATH * 4> buffer{};
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size())
        return {};
    return std::string(buffer.data(), n);
}

std::string SystemErrorText(int errorNumber) {
    std::array<char, 256> buffer{};
    if (strerror_s(buffer.data(), buffer.size(), errorNumber) != 0)
        return "error " + std::to_string(errorNumber);
    return buffer.data();
}

std::string Win32ErrorText(unsigned long code) {
    std::array<char, 512> buffer{};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer.data(),
                               static_cast<DWORD>(buffer.size()), nullptr);
    if (n == 0)
        n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    std::string text(buffer.data(), n);
    // The system's texts end with a period and a line end; the callers add their own.
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

} // namespace sorvel
