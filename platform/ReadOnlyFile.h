// A regular file open for reading: the upload files that the engine sends and the files that the
// configuration loader verifies. The system's calls live in the file named for the OS
// (ReadOnlyFile_posix.cpp, ReadOnlyFile_win32.cpp). Always binary: bytes are read as they are.
//
// Only regular files open: a directory, a FIFO or a device named by a configuration could block
// or never end, and is never opened at all (it is looked at first). Reads retry on EINTR.
// Threads: one thread at a time per object; the caller guards it.
#pragma once

#include "PlatformExport.h"

#include <cstdint>
#include <string>

namespace sorvel {

class ReadOnlyFile {
public:
    enum class OpenResult {
        Ok,
        Failed,      // the system refused (reason: its text, "No such file or directory")
        IsDirectory, // a directory
        NotRegular,  // a FIFO, a device, a socket
        Locked,      // another program holds it locked for writing
    };

    ReadOnlyFile() = default;
    SORVEL_PLATFORM_API ~ReadOnlyFile();
    SORVEL_PLATFORM_API ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    SORVEL_PLATFORM_API ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens path as the system names it (see NativePath), closing what was open. Others may read
    // the file meanwhile; with lockAgainstWriters, a program that locks it to write is refused
    // while it stays open (and one that holds such a lock makes this fail with Locked). On
    // Failed, *reason (when given) is the system's text.
    SORVEL_PLATFORM_API OpenResult Open(const std::string& path, bool lockAgainstWriters,
                                        std::string* reason = nullptr);
    SORVEL_PLATFORM_API void Close();
    bool IsOpen() const { return m_handle != kClosed; }
    // The file's size when it was opened.
    std::uint64_t Size() const { return m_size; }

    // Reads up to count bytes at offset: fewer only at the end of the file, -1 when reading
    // fails (*reason, when given, then holds the system's text).
    SORVEL_PLATFORM_API long ReadAt(void* buffer, long count, std::int64_t offset,
                                    std::string* reason = nullptr) const;

    // True when the open file was written to since it was opened (its size, its last-write time
    // or, on POSIX, its status-change time moved), or when that can no longer be told. A file
    // replaced under its name (a new file renamed into place) is not this file: what was opened
    // is still what is read.
    SORVEL_PLATFORM_API bool ChangedSinceOpen() const;

private:
    // What tells one state of the file's contents from another: size and times, as the system
    // gives them. False when the system cannot say.
    struct Stamp {
        std::uint64_t size = 0;
        std::uint64_t written = 0;
        std::uint64_t changed = 0;
        bool operator==(const Stamp&) const = default;
    };
    bool ReadStamp(Stamp& stamp) const;

    // A descriptor on POSIX, a HANDLE on Windows (where -1 is INVALID_HANDLE_VALUE).
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t m_handle = kClosed;
    std::uint64_t m_size = 0;
    Stamp m_opened;
};

} // namespace sorvel
