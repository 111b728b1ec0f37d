#include "UploadFile.h"

#include "Program.h"
#include "UploadFormat.h"

#include <optional>

namespace {

namespace format = sorvel::upload;

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
    std::uint8_t header[format::kHeaderBytes];
    const long got = file.ReadAt(header, format::kHeaderBytes, 0, &system);
    if (got < 0) {
        SetReason(reason, path + ": " + system);
        return 0;
    }
    const std::optional<std::uint32_t> count = format::ParseHeader(header, got);
    if (!count) {
        SetReason(reason, path + ": not an upload file");
        return 0;
    }
    // The counters are signed 32-bit; a count that does not fit is no real file.
    if (*count > 0x7FFFFFFFu) {
        SetReason(reason, path + ": record count too large");
        return 0;
    }
    g_hUploadFile = std::move(file);
    g_nUploadFileOffset = format::kHeaderBytes;
    g_nRecordsTotal = static_cast<std::int32_t>(*count);
    g_nRecordsLeft = static_cast<std::int32_t>(*count);
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
    std::uint8_t bytes[format::kRecordHeaderBytes];
    const format::RecordHeader header = format::ParseRecordHeader(
        bytes, g_hUploadFile.ReadAt(bytes, format::kRecordHeaderBytes, g_nUploadFileOffset));
    switch (header.status) {
    case format::RecordHeader::Status::Ok:
        break;
    case format::RecordHeader::Status::Unreadable:
        return none(kFaultUnreadable);
    case format::RecordHeader::Status::End:
        return none(kFaultFileEnded);
    case format::RecordHeader::Status::Damaged:
        // Its bytes are consumed: the next read looks for a record right after them.
        g_nUploadFileOffset += header.got;
        return none(kFaultBadRecord);
    }
    if (header.bytes > static_cast<std::uint64_t>(kRecordBufferBytes)) {
        return none(kFaultRecordTooLong);
    }
    const long total = static_cast<long>(header.bytes);
    const long got = g_hUploadFile.ReadAt(buffer, total, g_nUploadFileOffset);
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
