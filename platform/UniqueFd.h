// The one owner of a POSIX descriptor: closes it when it goes, so that no path through the code,
// a failed open above all, leaves one behind. Used by the files named for POSIX and Linux only.
#pragma once

#include "PlatformExport.h"

#include <utility>

namespace sorvel {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held, if any, and holds fd instead.
    SORVEL_PLATFORM_API void Reset(int fd = -1);

private:
    int m_fd = -1;
};

} // namespace sorvel
