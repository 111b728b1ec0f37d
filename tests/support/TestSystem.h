// What the portable tests need from the operating system, with its calls in the file named for
// it (TestSystem_linux.cpp, TestSystem_win32.cpp): waiting on a wake-up handle, counting the
// handles the process holds, another program's hold on a file, paths that are no regular file,
// and the system's texts that the tests expect to see passed on.
#pragma once

#include "WakeEvent.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sorvel::test {

// The system's reason for a missing file in a folder that exists, and for a file whose folder is
// missing: "No such file or directory" for both on POSIX; on Windows the system's own texts for
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND, which Wine words otherwise than Windows.
std::string NoSuchFileText();
std::string NoSuchFolderText();
// True where a backslash separates a path's folders (Windows).
extern const bool kBackslashSeparates;

// Waits until handle is ready (a readable descriptor, a signalled event) or timeout passes; true
// when it is ready.
bool WaitReady(WaitHandle handle, std::chrono::milliseconds timeout);

// Descriptors (handles) the process holds now.
long OpenHandleCount();

// Paths that name something other than a regular file, which a reader must refuse without
// opening: a FIFO made in dir (an open would block) and an endless device on POSIX, the NUL
// device on Windows. Throws when one cannot be made.
std::vector<std::string> NotRegularPaths(const std::filesystem::path& dir);

// Another program's hold on an existing file for writing: an exclusive lock on POSIX, a handle
// open for writing on Windows (where the open itself is what keeps readers that lock out).
class WriterHold {
public:
    explicit WriterHold(std::filesystem::path path);
    ~WriterHold();
    WriterHold(const WriterHold&) = delete;
    WriterHold& operator=(const WriterHold&) = delete;

    // Takes the hold without waiting; false when someone else's hold keeps writers out.
    bool Take();
    void Release();

private:
    std::filesystem::path m_path;
    std::intptr_t m_handle = -1; // a descriptor on POSIX, a HANDLE on Windows
};

// Whether another reader can open path and share it with the readers that hold it now.
bool CanShareForReading(const std::filesystem::path& path);

} // namespace sorvel::test
