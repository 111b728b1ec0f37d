#include "ReadOnlyFile.h"

#include "Program.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>
#include <windows.h>

namespace sorvel {
namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

ReadOnlyFile::OpenResult Refuse(DWORD error, std::string* reason) {
    if (reason != nullptr)
        *reason = Win32ErrorText(error);
    return ReadOnlyFile::OpenResult::Failed;
}

// Whether path names a device rather than a file: the \\.\ namespace, or one of the names that
// Windows keeps for devices in every folder (CON, NUL, COM1, "LPT1.txt" ...). Such a path is
// never opened: opening a port or a printer has effects of its own.
bool NamesDevice(const std::string& path) {
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0)
        return true;
    const std::size_t slash = path.find_last_of("/\\:");
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    static constexpr std::array<const char*, 6> kNames = {"CON", "PRN",    "AUX",
                                                          "NUL", "CONIN$", "CONOUT$"};
    if (std::find(kNames.begin(), kNames.end(), base) != kNames.end())
        return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

} // namespace

ReadOnlyFile::OpenResult ReadOnlyFile::Open(const std::string& path, bool lockAgainstWriters,
                                            std::string* reason) {
    Close();
    if (NamesDevice(path))
        return OpenResult::NotRegular;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Refuse(::GetLastError(), reason);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return OpenResult::IsDirectory;
    // Others may always read. Against writers the share mode is the lock: while the file is open
    // no program can open it to write, and one that has it open to write makes this open fail.
    const DWORD share = lockAgainstWriters ? FILE_SHARE_READ
                                           : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (lockAgainstWriters && error == ERROR_SHARING_VIOLATION)
            return OpenResult::Locked;
        return Refuse(error, reason);
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return OpenResult::NotRegular;
    }
    if (!::GetFileSizeEx(file, &size)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        return Refuse(error, reason);
    }
    m_handle = reinterpret_cast<std::intptr_t>(file);
    m_size = static_cast<std::uint64_t>(size.QuadPart);
    ReadStamp(m_opened);
    return OpenResult::Ok;
}

// With the share mode above no program can open the file to write while it is open; one that
// had it open before may still write, which moves its size or last-write time.
bool ReadOnlyFile::ReadStamp(Stamp& stamp) const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(AsHandle(m_handle), &info))
        return false;
    stamp = {(std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
             (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                 info.ftLastWriteTime.dwLowDateTime,
             0};
    return true;
}

void ReadOnlyFile::Close() {
    const std::intptr_t handle = std::exchange(m_handle, kClosed);
    if (handle != kClosed)
        ::CloseHandle(AsHandle(handle));
    m_size = 0;
}

long ReadOnlyFile::ReadAt(void* buffer, long count, std::int64_t offset,
                          std::string* reason) const {
    auto* bytes = static_cast<unsigned char*>(buffer);
    long done = 0;
    while (done < count) {
        // A positioned read: the offset travels in the OVERLAPPED record, the handle is not
        // opened for overlapped I/O, so the call returns when the bytes are there.
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset + done);
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        if (!::ReadFile(AsHandle(m_handle), bytes + done, static_cast<DWORD>(count - done), &got,
                        &at)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF)
                break;
            if (reason != nullptr)
                *reason = Win32ErrorText(error);
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<long>(got);
    }
    return done;
}

} // namespace sorvel
