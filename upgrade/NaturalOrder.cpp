#include "NaturalOrder.h"

#include <cctype>
#include <cstddef>

bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[j]);
        if (std::isdigit(ca) && std::isdigit(cb)) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            // Compare the numbers without converting them: strip leading zeros, then a longer
            // run is larger, then digit by digit.
            std::size_t si = a.find_first_not_of('0', i);
            std::size_t sj = b.find_first_not_of('0', j);
            si = (si == std::string::npos || si > ei) ? ei : si;
            sj = (sj == std::string::npos || sj > ej) ? ej : sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            int cmp = a.compare(si, ei - si, b, sj, ej - sj);
            if (cmp != 0)
                return cmp < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}
