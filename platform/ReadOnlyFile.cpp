// What every system's ReadOnlyFile shares: its ownership of the open file. The system's calls
// live in the files named for the OS.
#include "ReadOnlyFile.h"

#include <utility>

namespace sorvel {

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kClosed)), m_size(other.m_size),
      m_opened(other.m_opened) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, kClosed);
        m_size = other.m_size;
        m_opened = other.m_opened;
    }
    return *this;
}

bool ReadOnlyFile::ChangedSinceOpen() const {
    Stamp now;
    return !IsOpen() || !ReadStamp(now) || !(now == m_opened);
}

} // namespace sorvel
