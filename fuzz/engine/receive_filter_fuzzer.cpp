// libFuzzer target for the receive filter: any upload file and any received bytes, in any
// mode, cut into chunks at any place. The filter must keep its counts, give well-formed
// notifications and never read or write outside the chunk or the record buffer.
//
// Input: byte 0 chooses the mode (plain, handshaking, streaming); bytes 1-2 the length of the
// upload file that follows; the rest is received data, where each byte 0xFE ends a chunk.
#include "FuzzUploadFile.h"
#include "UploadFile.h"
#include "UploadProtocol.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

int g_chunkSize = 0;

void Check(_tagUploadNotificationMsgstruct* message) {
    switch (message->nMsgType) {
    case UPLOAD_MSG_DATA:
        if (message->nDataLength < 1 || message->nDataLength > g_chunkSize ||
            message->pData == nullptr || message->nPercent != 0) {
            __builtin_trap();
        }
        break;
    case UPLOAD_MSG_PROGRESS:
        if (message->nPercent < 0 || message->nPercent > 100 || message->pData != nullptr) {
            __builtin_trap();
        }
        break;
    case UPLOAD_MSG_COMPLETE:
        if (message->nPercent != 100 || g_bUploadMode.load() || g_hUploadFile.IsOpen()) {
            __builtin_trap();
        }
        break;
    case UPLOAD_MSG_TIMEOUT:
        // An upload that ended says why, and has ended.
        if (message->pData == nullptr || message->nDataLength < 1 ||
            std::strlen(message->pData) != static_cast<std::size_t>(message->nDataLength) ||
            g_bUploadMode.load() || g_hUploadFile.IsOpen()) {
            __builtin_trap();
        }
        break;
    default:
        __builtin_trap(); // the filter gives no other kind
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const int mode = data[0] % 3;
    std::size_t fileSize = (std::size_t{data[1]} << 8) | data[2];
    data += 3;
    size -= 3;
    fileSize = fileSize < size ? fileSize : size;
    if (!SetUploadFileBytes(data, fileSize)) {
        return 0;
    }
    data += fileSize;
    size -= fileSize;

    g_pfnNotify.store(&Check);
    {
        std::lock_guard lock(g_uploadMutex);
        CloseUploadFile();
        g_nLastRecordLength = 0;
        g_uploadWatch = {};
        g_uploadWatch.lastRequestAt = std::chrono::steady_clock::now();
        const bool upload = mode != 0 && OpenUploadFile() == 1;
        g_bUploadMode.store(upload);
        g_bTargetReady.store(upload && mode == 2);
        g_bUploadRunning.store(upload);
    }
    // Each chunk in a buffer of its own size, so that the sanitizers see any overrun.
    std::size_t start = 0;
    while (start <= size) {
        std::size_t end = start;
        while (end < size && data[end] != 0xFE) {
            ++end;
        }
        std::vector<char> chunk(data + start, data + end);
        g_chunkSize = static_cast<int>(chunk.size());
        std::int32_t left = 0;
        {
            std::lock_guard lock(g_uploadMutex);
            left = g_nRecordsLeft;
        }
        const int result = UploadReceiveFilter(chunk.data(), g_chunkSize);
        std::lock_guard lock(g_uploadMutex);
        if (result != 0 && result != 1) {
            __builtin_trap();
        }
        if (g_bUploadMode.load() && g_nRecordsLeft > left) {
            __builtin_trap(); // counts only go down
        }
        start = end + 1;
    }
    std::lock_guard lock(g_uploadMutex);
    CloseUploadFile();
    g_bUploadMode.store(false);
    g_bTargetReady.store(false);
    g_bUploadRunning.store(false);
    return 0;
}
