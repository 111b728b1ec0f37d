#include "ReadOnlyFile.h"

#include "Program.h"
#include "UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sorvel {
namespace {

ReadOnlyFile::OpenResult Refuse(ReadOnlyFile::OpenResult result, int error, std::string* reason) {
    if (reason != nullptr && result == ReadOnlyFile::OpenResult::Failed)
        *reason = SystemErrorText(error);
    return result;
}

ReadOnlyFile::OpenResult Kind(const struct stat& info) {
    if (S_ISDIR(info.st_mode))
        return ReadOnlyFile::OpenResult::IsDirectory;
    if (!S_ISREG(info.st_mode))
        return ReadOnlyFile::OpenResult::NotRegular;
    return ReadOnlyFile::OpenResult::Ok;
}

std::uint64_t Nanoseconds(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(t.tv_nsec);
}

} // namespace

// Every write moves the status-change time, and no program can set it back (unlike the
// modification time), so a write that was undone still shows.
bool ReadOnlyFile::ReadStamp(Stamp& stamp) const {
    struct stat info {};
    if (::fstat(static_cast<int>(m_handle), &info) != 0)
        return false;
    stamp = {static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim),
             Nanoseconds(info.st_ctim)};
    return true;
}

ReadOnlyFile::OpenResult ReadOnlyFile::Open(const std::string& path, bool lockAgainstWriters,
                                            std::string* reason) {
    Close();
    // Look before opening, so that a device is never opened at all (opening a serial port or a
    // tape has effects of its own); fstat below closes the race.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Refuse(OpenResult::Failed, errno, reason);
    if (OpenResult kind = Kind(info); kind != OpenResult::Ok)
        return kind;
    // O_NONBLOCK keeps the open of a FIFO put in place meanwhile from waiting for a writer; it
    // has no effect on the reads of a regular file.
    UniqueFd file;
    do {
        file.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    } while (!file.Valid() && errno == EINTR);
    if (!file.Valid())
        return Refuse(OpenResult::Failed, errno, reason);
    if (::fstat(file.Get(), &info) != 0)
        return Refuse(OpenResult::Failed, errno, reason);
    if (OpenResult kind = Kind(info); kind != OpenResult::Ok)
        return kind;
    // A shared lock: readers pass, a program that takes an exclusive lock to write is kept out.
    // POSIX has no mandatory share mode; programs that write without locking are not stopped.
    if (lockAgainstWriters && ::flock(file.Get(), LOCK_SH | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return OpenResult::Locked;
        return Refuse(OpenResult::Failed, errno, reason);
    }
    m_handle = static_cast<std::intptr_t>(file.Release());
    m_size = static_cast<std::uint64_t>(info.st_size);
    ReadStamp(m_opened);
    return OpenResult::Ok;
}

void ReadOnlyFile::Close() {
    // Closing also releases the lock.
    UniqueFd closing(static_cast<int>(std::exchange(m_handle, kClosed)));
    m_size = 0;
}

long ReadOnlyFile::ReadAt(void* buffer, long count, std::int64_t offset,
                          std::string* reason) const {
    auto* bytes = static_cast<unsigned char*>(buffer);
    long done = 0;
    while (done < count) {
        ssize_t got = ::pread(static_cast<int>(m_handle), bytes + done,
                              static_cast<size_t>(count - done), static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (reason != nullptr)
                *reason = SystemErrorText(errno);
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

} // namespace sorvel
