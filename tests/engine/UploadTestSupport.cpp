#include "UploadTestSupport.h"

#include "Tarvik.h"
#include "TestSystem.h"
#include "UploadFile.h"
#include "UploadProtocol.h"

#include <cstring>
#include <mutex>

namespace tarvik::test {

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void ResetEngine() {
    CTarvik engine(nullptr);
    engine.CancelUploadProcess();
    engine.Disconnect();
    ResetHandshakeTiming();
    SetThreadStartFailureForTest(false);
    SetCurrentConnection(nullptr);
    g_pfnNotify.store(nullptr);
    std::lock_guard recordLock(g_recordMutex);
    std::lock_guard lock(g_uploadMutex);
    CloseUploadFile();
    std::memset(g_szUploadFileName, 0, sizeof g_szUploadFileName);
    std::memset(g_RecordBuffer, 0, sizeof g_RecordBuffer);
    g_nUploadFileOffset = 0;
    g_nRecordsTotal = 0;
    g_nRecordsLeft = 0;
    g_nLastRecordLength = 0;
    g_uploadWatch = {};
    g_bUploadMode.store(false);
    g_bTargetReady.store(false);
    g_bUploadRunning.store(false);
}

long OpenDescriptors() {
    return sorvel::test::OpenHandleCount();
}

} // namespace tarvik::test
