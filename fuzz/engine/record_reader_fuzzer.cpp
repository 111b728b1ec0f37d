// libFuzzer target for the upload-file reader: any bytes as an upload file. The reader must
// refuse bad headers, never write past the record buffer, never return more than the file holds
// and never move backwards; and where a walk of the format finds a sound file, the reader gives
// exactly the walk's records.
#include "FuzzUploadFile.h"
#include "UploadFile.h"
#include "UploadFormat.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!SetUploadFileBytes(data, size)) {
        return 0;
    }
    std::lock_guard recordLock(g_recordMutex);
    std::lock_guard lock(g_uploadMutex);
    if (OpenUploadFile() == 0) {
        if (g_hUploadFile.IsOpen()) {
            __builtin_trap(); // a refused file is left closed
        }
        return 0;
    }
    if (size < 6 || data[0] != 'M' || data[1] != 'Z' || g_nRecordsTotal < 0) {
        __builtin_trap();
    }
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> walked;
    const bool sound =
        sorvel::upload::WalkUploadFile(sorvel::upload::MemoryReader(bytes), size, {},
                                       [&walked](std::uint64_t offset, std::uint64_t length) {
                                           walked.emplace_back(offset, length);
                                       })
            .fault == sorvel::upload::Fault::None;
    // Every read either returns bytes or moves on, except for a record that is too long: it
    // stops the file there.
    for (std::size_t turn = 0; turn <= size; ++turn) {
        const std::int64_t offset = g_nUploadFileOffset;
        const std::int32_t length = ReadUploadRecord(g_RecordBuffer);
        if (sound && turn < walked.size() &&
            (static_cast<std::uint64_t>(offset) != walked[turn].first ||
             static_cast<std::uint64_t>(length) != walked[turn].second)) {
            __builtin_trap(); // the reader and the walk disagree about a record of a sound file
        }
        if (sound && turn >= walked.size() && length != 0) {
            __builtin_trap(); // the reader found a record after the last one the walk found
        }
        if (length < 0 || length > kRecordBufferBytes || g_nUploadFileOffset < offset ||
            g_nUploadFileOffset > static_cast<std::int64_t>(size)) {
            __builtin_trap();
        }
        if (length > 0 &&
            (g_RecordBuffer[0] != 0x02 ||
             std::memcmp(g_RecordBuffer, data + offset, static_cast<std::size_t>(length)) != 0)) {
            __builtin_trap(); // a record is the file's bytes, from its type byte on
        }
        if (g_nUploadFileOffset == offset) {
            break;
        }
    }
    CloseUploadFile();
    return 0;
}
