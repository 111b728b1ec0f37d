#include "FileAccess.h"

#include "Crc32.h"
#include "Program.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvel {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

FileOutcome Failure(FileStatus status, std::string reason) {
    return FileOutcome{status, std::move(reason)};
}

// Opens a regular file for reading and reports its size. O_NONBLOCK keeps the open of a FIFO
// from waiting for a writer; it has no effect on the reads of a regular file.
FileOutcome OpenRegular(const std::string& path, std::unique_ptr<FileDescriptor>* file,
                        std::uint64_t* size) {
    // Look before opening, so that a device named by a configuration is never opened at all
    // (opening a serial port or a tape has effects of its own); fstat below closes the race.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return Failure(FileStatus::NotOpened, SystemErrorText(errno));
    if (S_ISDIR(info.st_mode))
        return Failure(FileStatus::NotOpened, SystemErrorText(EISDIR));
    if (!S_ISREG(info.st_mode))
        return Failure(FileStatus::NotOpened, "not a regular file");
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return Failure(FileStatus::NotOpened, SystemErrorText(errno));
    *file = std::make_unique<FileDescriptor>(fd);
    if (fstat(fd, &info) != 0)
        return Failure(FileStatus::NotOpened, SystemErrorText(errno));
    if (S_ISDIR(info.st_mode))
        return Failure(FileStatus::NotOpened, SystemErrorText(EISDIR));
    if (!S_ISREG(info.st_mode))
        return Failure(FileStatus::NotOpened, "not a regular file");
    *size = static_cast<std::uint64_t>(info.st_size);
    return {};
}

// Reads exactly size bytes; a file that ends early is a read failure.
FileOutcome ReadExactly(int fd, BYTE* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Failure(FileStatus::ReadFailed, SystemErrorText(errno));
        }
        if (n == 0)
            return Failure(FileStatus::ReadFailed, "the file ended before its length");
        done += static_cast<std::size_t>(n);
    }
    return {};
}

} // namespace

FileOutcome ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<BYTE>* bytes) {
    bytes->clear();
    std::unique_ptr<FileDescriptor> file;
    std::uint64_t size = 0;
    if (FileOutcome opened = OpenRegular(path, &file, &size); opened.status != FileStatus::Ok)
        return opened;
    if (size > maxBytes)
        return Failure(FileStatus::TooLarge, SystemErrorText(EFBIG));
    bytes->resize(static_cast<std::size_t>(size));
    FileOutcome outcome = ReadExactly(file->Get(), bytes->data(), bytes->size());
    if (outcome.status != FileStatus::Ok)
        bytes->clear();
    return outcome;
}

FileOutcome FileCrc32(const std::string& path, DWORD* crc) {
    std::unique_ptr<FileDescriptor> file;
    std::uint64_t remaining = 0;
    if (FileOutcome opened = OpenRegular(path, &file, &remaining); opened.status != FileStatus::Ok)
        return opened;
    std::vector<BYTE> chunk(kCrcChunkBytes);
    DWORD running = 0;
    while (remaining > 0) {
        std::size_t n =
            remaining < chunk.size() ? static_cast<std::size_t>(remaining) : chunk.size();
        if (FileOutcome read = ReadExactly(file->Get(), chunk.data(), n);
            read.status != FileStatus::Ok)
            return read;
        running = Crc32Update(running, chunk.data(), n);
        remaining -= n;
    }
    *crc = running;
    return {};
}

std::string ResolveStoredPath(const std::string& baseDir, std::string_view stored) {
    std::filesystem::path native(NativePath(stored));
    if (baseDir.empty() || baseDir == "." || native.is_absolute())
        return native.string();
    return (std::filesystem::path(baseDir) / native).string();
}

} // namespace sorvel
