// File access for the configuration loader and tools: whole-file reads of small files and
// chunked CRC-32 of large ones, with the reason of every failure kept for the caller.
//
// Only regular files count as opening: a directory, a FIFO or a device named by a configuration
// could block or never end, and on the system the configuration format comes from such paths do
// not open as files either (ReadOnlyFile.h). Any thread.
#pragma once

#include "SorvelWinTypes.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel {

// Upload files are read in blocks of this many bytes, so verifying a file needs the same memory
// whatever its size.
constexpr std::size_t kCrcChunkBytes = 64 * 1024;

enum class FileStatus {
    Ok,
    NotOpened,  // missing, unreadable, or not a regular file
    ReadFailed, // opened, but its bytes could not all be read
    TooLarge,   // larger than the caller accepts
};

struct FileOutcome {
    FileStatus status = FileStatus::Ok;
    std::string reason; // the system's text for a failure ("No such file or directory")
};

// Reads a whole regular file of at most maxBytes bytes into *bytes.
[[nodiscard]] FileOutcome ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                        std::vector<BYTE>* bytes);

// CRC-32 (Crc32.h) of a whole regular file, read in blocks of kCrcChunkBytes. The file's length
// is taken when it is opened and exactly that many bytes are read: a file that ends early fails
// with ReadFailed rather than giving the checksum of a part.
[[nodiscard]] FileOutcome FileCrc32(const std::string& path, DWORD* crc);

// A path stored in a configuration (possibly written with backslashes) as it opens here: absolute
// paths as they are, relative ones below baseDir ("" or "." = the working directory).
[[nodiscard]] std::string ResolveStoredPath(const std::string& baseDir, std::string_view stored);

} // namespace sorvel
