// The record file's system calls on Windows. <windows.h> stays in this file: its macros
// (min, max, ERROR) clash with the portable code.
#include "Program.h"
#include "UpgradeRecordFile.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>

namespace sorvel::record::os {

namespace {

// Closes a handle when it goes out of scope.
struct HandleOwner {
    HANDLE handle;
    ~HandleOwner() {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr)
            ::CloseHandle(handle);
    }
};

bool Fail(std::string* error, const std::string& what, const std::string& path) {
    const DWORD code = ::GetLastError(); // before anything else can change it
    *error = what + " " + path + ": " + Win32ErrorText(code);
    return false;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::string StateFolder() {
    const std::string local = Environment("LOCALAPPDATA");
    if (local.empty())
        return {};
    return (std::filesystem::path(local) / "Sorvel").string();
}

bool AppendLocked(const std::string& path, const std::string& line, std::string* error) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file, as with
    // O_APPEND.
    const HandleOwner file{::CreateFileW(std::filesystem::path(path).c_str(), FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE)
        return Fail(error, "cannot open", path);
    OVERLAPPED whole{};
    if (!::LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        return Fail(error, "cannot lock", path);
    bool written = true;
    std::size_t done = 0;
    while (written && done < line.size()) {
        DWORD n = 0;
        written = ::WriteFile(file.handle, line.data() + done,
                              static_cast<DWORD>(line.size() - done), &n, nullptr) != 0 &&
                  n > 0;
        done += n;
    }
    if (!written) {
        Fail(error, "cannot write", path);
        ::UnlockFileEx(file.handle, 0, MAXDWORD, MAXDWORD, &whole);
        return false;
    }
    const bool flushed = ::FlushFileBuffers(file.handle) != 0;
    if (!flushed)
        Fail(error, "cannot flush", path);
    ::UnlockFileEx(file.handle, 0, MAXDWORD, MAXDWORD, &whole);
    return flushed;
}

int CurrentProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

bool ProcessRuns(int pid) {
    if (pid <= 0)
        return false;
    const HandleOwner process{
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid))};
    if (process.handle == nullptr)
        return ::GetLastError() == ERROR_ACCESS_DENIED; // another user's
    DWORD code = 0;
    return ::GetExitCodeProcess(process.handle, &code) == 0 || code == STILL_ACTIVE;
}

std::string HostName() {
    return Environment("COMPUTERNAME");
}

std::string UserName() {
    return Environment("USERNAME");
}

} // namespace sorvel::record::os
