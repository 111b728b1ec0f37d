#include "UploadFile.h"

#include "Program.h"

namespace {

void SetReason(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

} // namespace

int OpenUploadFile(std::string* reason) {
    CloseUploadFile();
    const std::string path = sorvel::NativePath(g_szUploadFileName);
    sorvel::ReadOnlyFile file;
    std::string system;
    // Shared with readers and locked against writers while it is sent.
    switch (file.Open(path, true, &system)) {
    case sorvel::ReadOnlyFile::OpenResult::Ok:
        break;
    case sorvel::ReadOnlyFile::OpenResult::Failed:
        SetReason(reason, path + ": " + system);
        return 0;
    case sorvel::ReadOnlyFile::OpenResult::IsDirectory:
    case sorvel::ReadOnlyFile::OpenResult::NotRegular:
        SetReason(reason, path + ": not a regular file");
        return 0;
    case sorvel::ReadOnlyFile::OpenResult::Locked:
        SetReason(reason, path + ": locked by another program");
        return 0;
    }
    unsigned char header[kUploadHeaderBytes];
    const long got = file.ReadAt(header, kUploadHeaderBytes, 0, &system);
    if (got < 0) {
        SetReason(reason, path + ": " + system);
        return 0;
    }
    // Both magic bytes, and a whole header: a file that ends inside it has no record count.
    if (got < kUploadHeaderBytes || header[0] != kUploadMagic0 || header[1] != kUploadMagic1) {
        SetReason(reason, path + ": not an upload file");
        return 0;
    }
    const std::uint32_t count = (std::uint32_t{header[2]} << 24) |
                                (std::uint32_t{header[3]} << 16) | (std::uint32_t{header[4]} << 8) |
                                std::uint32_t{header[5]};
    // The counters are signed 32-bit; a count that does not fit is no real file.
    if (count > 0x7FFFFFFFu) {
        SetReason(reason, path + ": record count too large");
        return 0;
    }
    g_hUploadFile = std::move(file);
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
    if (!g_hUploadFile.IsOpen()) {
        return none(kFaultUnreadable);
    }
    unsigned char header[kRecordHeaderBytes];
    long got = g_hUploadFile.ReadAt(header, kRecordHeaderBytes, g_nUploadFileOffset);
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
    got = g_hUploadFile.ReadAt(buffer, total, g_nUploadFileOffset);
    if (got < 0) {
        return none(kFaultUnreadable);
    }
    if (got < total) {
        return none(kFaultRecordCut);
    }
    // Checked after the read: a write that could have touched these bytes has moved the file's
    // times by now.
    if (g_hUploadFile.ChangedSinceOpen()) {
        return none(kFaultChanged);
    }
    g_nUploadFileOffset += got;
    return static_cast<std::int32_t>(got);
}

void CloseUploadFile() {
    g_hUploadFile.Close(); // also releases the lock against writers
}
