#include "Program.h"

#include <filesystem>
#include <string>

namespace sorvel {
namespace {

std::string BaseNameWithoutExtension(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0)
        name.erase(dot);
    return name;
}

} // namespace

std::string ApplicationTitle() {
    return BaseNameWithoutExtension(ProgramFilePath());
}

std::string ProgramExeCaption() {
    return BaseNameWithoutExtension(ProgramFilePath()) + ".exe";
}

std::string NativePath(std::string_view path) {
    std::string result(path);
    // Windows opens both separators as they stand.
    if (std::filesystem::path::preferred_separator != '/')
        return result;
    for (char& c : result) {
        if (c == '\\')
            c = '/';
    }
    return result;
}

} // namespace sorvel
