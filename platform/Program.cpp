#include "Program.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace sorvel {
namespace {

std::string BaseNameWithoutExtension(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0)
        name.erase(dot);
    return name;
}

} // namespace

std::string ProgramFilePath() {
    std::array<char, 4096> buffer{};
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string ApplicationTitle() {
    return BaseNameWithoutExtension(ProgramFilePath());
}

std::string ProgramExeCaption() {
    return BaseNameWithoutExtension(ProgramFilePath()) + ".exe";
}

std::string NativePath(std::string_view path) {
    std::string result(path);
    for (char& c : result) {
        if (c == '\\')
            c = '/';
    }
    return result;
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
