// The program's own path and the system's error texts, as Linux gives them.
#include "Program.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace sorvel {

std::string ProgramFilePath() {
    std::array<char, 4096> buffer{};
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string SystemErrorText(int errorNumber) {
    std::array<char, 256> buffer{};
    // The GNU strerror_r may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(errorNumber, buffer.data(), buffer.size());
    return text ? std::string(text) : std::string("error ") + std::to_string(errorNumber);
#else
    if (strerror_r(errorNumber, buffer.data(), buffer.size()) != 0)
        return "error " + std::to_string(errorNumber);
    return buffer.data();
#endif
}

} // namespace sorvel
