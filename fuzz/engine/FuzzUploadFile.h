// For the engine's fuzz targets: the input's bytes become the upload file, kept in one memory
// file that is rewritten for each input (no file on disk per input).
#pragma once

#include "EngineState.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

// Writes the bytes to the memory file and names it as the upload file; false on failure.
inline bool SetUploadFileBytes(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("upload", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        return false;
    }
    std::snprintf(g_szUploadFileName, sizeof g_szUploadFileName, "/proc/self/fd/%d", fd);
    return true;
}
