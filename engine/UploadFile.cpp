#include "UploadFile.h"

#include "EngineState.h"
#include "Program.h"
#include "UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads up to count bytes at offset; fewer only at the end of the file. -1 when reading fails.
long ReadAt(int fd, void* buffer, long count, std::int64_t offset) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    long done = 0;
    while (done < count) {
        ssize_t got = ::pread(fd, bytes + done, static_cast<size_t>(count - done),
                              static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

void SetReason(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

} // namespace

int OpenUploadFile(std::string* reason) {
    CloseUploadFile();
    const std::string path = sorvel::NativePath(g_szUploadFileName);
    // Non-blocking so that a FIFO or a device cannot hold the open; only regular files pass.
    sorvel::UniqueFd owner(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!owner.Valid()) {
        SetReason(reason, path + ": " + sorvel::SystemErrorText(errno));
        return 0;
    }
    const int fd = owner.Get();
    // A refused file is closed as its owner goes.
    auto refuse = [&](const std::string& text) {
        SetReason(reason, path + ": " + text);
        return 0;
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return refuse(sorvel::SystemErrorText(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return refuse("not a regular file");
    }
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        return refuse(errno == EWOULDBLOCK ? "locked by another program"
                                           : sorvel::SystemErrorText(errno));
    }
    unsigned char header[kUploadHeaderBytes];
    long got = ReadAt(fd, header, kUploadHeaderBytes, 0);
    if (got < 0) {
        return refuse(sorvel::SystemErrorText(errno));
    }
    // Both magic bytes, and a whole header: a file that ends inside it has no record count.
    if (got < kUploadHeaderBytes || header[0] != kUploadMagic0 || header[1] != kUploadMagic1) {
        return refuse("not an upload file");
    }
    const std::uint32_t count = (std::uint32_t{header[2]} << 24) |
                                (std::uint32_t{header[3]} << 16) | (std::uint32_t{header[4]} << 8) |
                                std::uint32_t{header[5]};
    // The counters are signed 32-bit; a count that does not fit is no real file.
    if (count > 0x7FFFFFFFu) {
        return refuse("record count too large");
    }
    g_hUploadFile = owner.Release();
    g_nUploadFileOffset = kUploadHeaderBytes;
    g_nRecordsTotal = static_cast<std::int32_t>(count);
    g_nRecordsLeft = static_cast<std::int32_t>(count);
    return 1;
}

std::int32_t ReadUploadRecord(char* buffer, const char** fault) {
    auto none = [fault](const char* why) {
        if (fault != nullptr) {
            *fault = why;
        }
        return 0;
    };
    if (g_hUploadFile == kNoUploadFile) {
        return none(kFaultUnreadable);
    }
    unsigned char header[kRecordHeaderBytes];
    long got = ReadAt(g_hUploadFile, header, kRecordHeaderBytes, g_nUploadFileOffset);
    if (got < 0) {
        return none(kFaultUnreadable);
    }
    if (got == 0) {
        return none(kFaultFileEnded);
    }
    if (got < kRecordHeaderBytes || header[0] != kRecordType) {
        g_nUploadFileOffset += got;
        return none(kFaultBadRecord);
    }
    const long length = (long{header[1]} << 16) | (long{header[2]} << 8) | long{header[3]};
    const long total = length + kRecordOverheadBytes;
    if (total > kRecordBufferBytes) {
        return none(kFaultRecordTooLong);
    }
    got = ReadAt(g_hUploadFile, buffer, total, g_nUploadFileOffset);
    if (got < 0) {
        return none(kFaultUnreadable);
    }
    if (got < total) {
        return none(kFaultRecordCut);
    }
    g_nUploadFileOffset += got;
    return static_cast<std::int32_t>(got);
}

void CloseUploadFile() {
    if (g_hUploadFile != kNoUploadFile) {
        ::close(g_hUploadFile); // also releases the shared lock
        g_hUploadFile = kNoUploadFile;
    }
}
