// The port names that the program's users write, the same on every system.
#include "PortNames.h"

namespace sorvel {

unsigned ComPortNumber(const std::string& name) {
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

} // namespace sorvel
