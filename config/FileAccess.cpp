#include "FileAccess.h"

#include "Crc32.h"
#include "Program.h"
#include "ReadOnlyFile.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>

namespace sorvel {
namespace {

FileOutcome Failure(FileStatus status, std::string reason) {
    return FileOutcome{status, std::move(reason)};
}

// Opens a regular file for reading; its size is the file's Size().
FileOutcome OpenRegular(const std::string& path, ReadOnlyFile* file) {
    std::string reason;
    switch (file->Open(path, false, &reason)) {
    case ReadOnlyFile::OpenResult::Ok:
        return {};
    case ReadOnlyFile::OpenResult::IsDirectory:
        return Failure(FileStatus::NotOpened, SystemErrorText(EISDIR));
    case ReadOnlyFile::OpenResult::NotRegular:
        return Failure(FileStatus::NotOpened, "not a regular file");
    default:
        return Failure(FileStatus::NotOpened, reason);
    }
}

// Reads exactly size bytes at offset; a file that ends early is a read failure.
FileOutcome ReadExactly(const ReadOnlyFile& file, std::uint64_t offset, BYTE* buffer,
                        std::size_t size) {
    std::string reason;
    const long got =
        file.ReadAt(buffer, static_cast<long>(size), static_cast<std::int64_t>(offset), &reason);
    if (got < 0)
        return Failure(FileStatus::ReadFailed, reason);
    if (static_cast<std::size_t>(got) < size)
        return Failure(FileStatus::ReadFailed, "the file ended before its length");
    return {};
}

} // namespace

FileOutcome ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<BYTE>* bytes) {
    bytes->clear();
    ReadOnlyFile file;
    if (FileOutcome opened = OpenRegular(path, &file); opened.status != FileStatus::Ok)
        return opened;
    if (file.Size() > maxBytes)
        return Failure(FileStatus::TooLarge, SystemErrorText(EFBIG));
    bytes->resize(static_cast<std::size_t>(file.Size()));
    FileOutcome outcome = ReadExactly(file, 0, bytes->data(), bytes->size());
    if (outcome.status != FileStatus::Ok)
        bytes->clear();
    return outcome;
}

FileOutcome FileCrc32(const std::string& path, DWORD* crc) {
    ReadOnlyFile file;
    if (FileOutcome opened = OpenRegular(path, &file); opened.status != FileStatus::Ok)
        return opened;
    std::vector<BYTE> chunk(kCrcChunkBytes);
    DWORD running = 0;
    std::uint64_t offset = 0;
    while (offset < file.Size()) {
        const std::uint64_t left = file.Size() - offset;
        const std::size_t n = left < chunk.size() ? static_cast<std::size_t>(left) : chunk.size();
        if (FileOutcome read = ReadExactly(file, offset, chunk.data(), n);
            read.status != FileStatus::Ok)
            return read;
        running = Crc32Update(running, chunk.data(), n);
        offset += n;
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
