#include "UploadProtocol.h"

#include "UploadFile.h"

#include <cstring>
#include <list>
#include <thread>
#include <utility>

std::atomic<tarvik::HandshakeControl*> g_hHandshakeThread{nullptr};

namespace tarvik {

struct HandshakeControl {
    std::shared_ptr<EngineConnection> connection;
    std::uint64_t uploadNumber = 0;
    // The path as the client gave it, which UPLOAD_MSG_STARTED carries. The thread keeps its own
    // copy, so that a later upload may rewrite g_szUploadFileName while the client reads this.
    char path[kUploadPathBytes] = {};
    std::thread::id threadId;

    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;      // guarded by mutex
    bool writing = false;   // guarded by mutex
    bool notifying = false; // guarded by mutex

    // Each write and each notification begins only while no stop was asked for; a stopper that
    // takes the mutex after it sees the begun step, and nothing after it.
    bool BeginStep(bool& step) {
        std::lock_guard lock(mutex);
        if (stop) {
            return false;
        }
        step = true;
        return true;
    }
    void EndStep(bool& step) {
        std::lock_guard lock(mutex);
        step = false;
        wake.notify_all();
    }
    // Sleeps for period; false when a stop was asked for.
    bool Sleep(std::chrono::milliseconds period) {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, period, [this] { return stop; });
    }
};

namespace {

std::atomic<long> g_handshakePeriodMs{kHandshakePeriod.count()};
std::atomic<long> g_handshakeTimeoutMs{kHandshakeTimeout.count()};

// Threads that may still run, by their control. An entry is taken out by whoever ends the
// thread's story: the stopper (to join or detach it) or the thread itself at its end (detaching
// itself). Kept in storage that is never destroyed, so that a thread still inside a client
// notification at process exit finds it intact.
struct HandshakeThreads {
    std::mutex mutex;
    std::list<std::pair<std::shared_ptr<HandshakeControl>, std::thread>> threads;

    std::thread Take(const HandshakeControl* control) {
        std::lock_guard lock(mutex);
        for (auto it = threads.begin(); it != threads.end(); ++it) {
            if (it->first.get() == control) {
                std::thread thread = std::move(it->second);
                threads.erase(it);
                return thread;
            }
        }
        return {};
    }
};

HandshakeThreads& Threads() {
    static HandshakeThreads* threads = new HandshakeThreads;
    return *threads;
}

// True once the box has answered this thread's upload, or the upload has ended.
bool HandshakeDone(const HandshakeControl& control) {
    if (g_bTargetReady.load() || !g_bUploadMode.load()) {
        return true;
    }
    std::lock_guard lock(g_uploadMutex);
    return g_nUploadNumber != control.uploadNumber;
}

bool SendWakeUp(HandshakeControl& control) {
    if (!control.BeginStep(control.writing)) {
        return false;
    }
    const char byte = kWakeUpByte;
    control.connection->Write(&byte, 1);
    control.EndStep(control.writing);
    return true;
}

bool NotifyFromHandshake(HandshakeControl& control, std::int32_t type, std::int32_t length,
                         char* data) {
    if (!control.BeginStep(control.notifying)) {
        return false;
    }
    Notify(type, 0, length, data);
    control.EndStep(control.notifying);
    return true;
}

// Kept bytes go to the start of the reader's buffer. Writing in place is safe: the kept count
// never passes the byte being read.
void Keep(char* bytes, int& kept, char byte) {
    bytes[kept++] = byte;
}

// Bytes that plain mode drops: the protocol's control bytes and their neighbours.
bool DroppedInPlainMode(unsigned char byte) {
    switch (byte) {
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x11:
    case 0x12:
    case 0x13:
    case 0x14:
    case 0x15:
    case 0x17:
    case 0x18:
        return true;
    default:
        return false;
    }
}

// The filter's view of its connection. A filter whose reader was asked to stop, or whose
// connection was closed while it was inside a notification or a write (the client
// disconnected), stops at once and touches nothing more. The reader's own flag also covers a
// call that had begun when the stop returned and finds the next connection, or none, current.
class FilterScope {
public:
    explicit FilterScope(const EngineConnection* connection) : m_connection(connection) {}

    bool Stale() const {
        return CommReaderStopRequested() || (m_connection != nullptr && m_connection->Closing());
    }

    void Notify(std::int32_t type, std::int32_t percent, std::int32_t length, char* data) {
        if (!Stale()) {
            tarvik::Notify(type, percent, length, data);
        }
    }

private:
    const EngineConnection* m_connection;
};

enum class RecordResult { Ignored, Progress, Completed };

// The box asked for the next record (ENQ in streaming).
RecordResult SendNextRecord(EngineConnection* connection, std::int32_t& percent) {
    std::lock_guard recordLock(g_recordMutex);
    std::uint64_t upload = 0;
    std::int32_t length = 0;
    {
        std::lock_guard lock(g_uploadMutex);
        // The upload may have been cancelled since the byte was classified: then the byte
        // counts as received in plain mode, where ENQ is dropped.
        if (!g_bUploadMode.load() || !g_bTargetReady.load() || g_hUploadFile == kNoUploadFile) {
            return RecordResult::Ignored;
        }
        upload = g_nUploadNumber;
        length = ReadUploadRecord(g_RecordBuffer);
        g_nLastRecordLength = length;
    }
    if (length != 0 && connection != nullptr) {
        connection->Write(g_RecordBuffer, length);
    }
    std::lock_guard lock(g_uploadMutex);
    if (g_nUploadNumber != upload || g_hUploadFile == kNoUploadFile) {
        return RecordResult::Ignored; // cancelled while the record went out
    }
    if (length != 0) {
        --g_nRecordsLeft;
    }
    if (g_nRecordsLeft == 0) {
        CloseUploadFile();
        g_bUploadMode.store(false);
        g_bTargetReady.store(false);
        g_bUploadRunning.store(false);
        return RecordResult::Completed;
    }
    percent = ProgressPercent(g_nRecordsTotal, g_nRecordsLeft);
    return RecordResult::Progress;
}

// The box asked for the last record again (NAK in streaming). False when there is none to send:
// the byte is then kept for the client.
bool ResendLastRecord(EngineConnection* connection) {
    std::lock_guard recordLock(g_recordMutex);
    std::int32_t length = 0;
    {
        std::lock_guard lock(g_uploadMutex);
        if (!g_bUploadMode.load() || !g_bTargetReady.load()) {
            return true; // cancelled meanwhile: plain mode drops NAK
        }
        if (g_nLastRecordLength == 0 || g_nRecordsLeft == 0) {
            return false;
        }
        length = g_nLastRecordLength;
    }
    if (connection != nullptr) {
        connection->Write(g_RecordBuffer, length);
    }
    return true;
}

} // namespace

std::int32_t ProgressPercent(std::int32_t total, std::int32_t left) {
    if (total == 0) {
        return 100;
    }
    // The quotient and the product are each rounded to double before the truncation, so 29 of
    // 100 gives 28 (0.29 * 100 is just below 29) and 57 of 100 gives 56.
    const double sent = static_cast<double>(std::int64_t{total} - std::int64_t{left});
    const double quotient = sent / static_cast<double>(total);
    const double percent = quotient * 100.0;
    return static_cast<std::int32_t>(percent);
}

bool StartHandshakeThread(std::shared_ptr<EngineConnection> connection, const char* path,
                          std::uint64_t uploadNumber) {
    if (ThreadStartFailsForTest()) {
        return false;
    }
    auto control = std::make_shared<HandshakeControl>();
    control->connection = std::move(connection);
    control->uploadNumber = uploadNumber;
    std::strncpy(control->path, path, kUploadPathBytes - 1);
    // Registered before it runs, so that the thread's own clearing at its end always finds it.
    g_hHandshakeThread.store(control.get());
    auto& registry = Threads();
    std::lock_guard lock(registry.mutex);
    try {
        std::thread thread([control] { HandshakeThreadProc(control); });
        registry.threads.emplace_back(control, std::move(thread));
    } catch (const std::system_error&) {
        g_hHandshakeThread.store(nullptr);
        return false;
    }
    return true;
}

void StopHandshakeThread() {
    HandshakeControl* running = g_hHandshakeThread.exchange(nullptr);
    if (running == nullptr) {
        return;
    }
    // The registry keeps the control alive until its thread is taken out below or ends.
    std::shared_ptr<HandshakeControl> control;
    {
        auto& registry = Threads();
        std::lock_guard lock(registry.mutex);
        for (auto& entry : registry.threads) {
            if (entry.first.get() == running) {
                control = entry.first;
                break;
            }
        }
    }
    if (!control) {
        return; // it has already ended and detached itself
    }
    bool joinable = false;
    {
        std::unique_lock lock(control->mutex);
        control->stop = true;
        control->wake.notify_all();
        const bool self = control->threadId == std::this_thread::get_id();
        if (!self) {
            control->wake.wait_for(lock, kWriteDrainWait, [&] { return !control->writing; });
        }
        joinable = !self && !control->writing && !control->notifying;
    }
    std::thread thread = Threads().Take(control.get());
    if (!thread.joinable()) {
        return;
    }
    if (joinable) {
        thread.join(); // it only has to see the flag and return
    } else {
        thread.detach(); // it holds its control and connection, and ends by itself
    }
}

bool HandshakeThreadRunning() {
    return g_hHandshakeThread.load() != nullptr;
}

void SetHandshakeTimingForTest(std::chrono::milliseconds period,
                               std::chrono::milliseconds timeout) {
    g_handshakePeriodMs.store(period.count());
    g_handshakeTimeoutMs.store(timeout.count());
}

void ResetHandshakeTiming() {
    SetHandshakeTimingForTest(kHandshakePeriod, kHandshakeTimeout);
}

} // namespace tarvik

void HandshakeThreadProc(const std::shared_ptr<tarvik::HandshakeControl>& control) {
    using namespace tarvik;
    using Clock = std::chrono::steady_clock;
    {
        std::lock_guard lock(control->mutex);
        control->threadId = std::this_thread::get_id();
    }
    auto run = [&] {
        if (!SendWakeUp(*control)) {
            return;
        }
        Clock::time_point reference = Clock::now();
        if (!NotifyFromHandshake(*control, UPLOAD_MSG_STARTED,
                                 static_cast<std::int32_t>(std::strlen(control->path)),
                                 control->path)) {
            return;
        }
        // The answer is tested before each turn and after it, never between sending and sleeping.
        while (!HandshakeDone(*control)) {
            if (!SendWakeUp(*control)) {
                return;
            }
            if (!control->Sleep(std::chrono::milliseconds(g_handshakePeriodMs.load()))) {
                return;
            }
            const auto elapsed = Clock::now() - reference;
            if (elapsed >= std::chrono::milliseconds(g_handshakeTimeoutMs.load())) {
                if (!NotifyFromHandshake(*control, UPLOAD_MSG_TIMEOUT, 0, nullptr)) {
                    return;
                }
                // The client may have held the notification; the next period starts now.
                reference = Clock::now();
            }
        }
    };
    run();
    HandshakeControl* self = control.get();
    g_hHandshakeThread.compare_exchange_strong(self, nullptr);
    // Unless a stopper has taken it out to join it, the thread detaches itself.
    std::thread thread = Threads().Take(control.get());
    if (thread.joinable()) {
        thread.detach();
    }
}

int UploadReceiveFilter(char* pBytes, int nCount) {
    using namespace tarvik;
    if (nCount <= 0) {
        return 1;
    }
    if (CommReaderStopRequested()) {
        return 1; // a stale reader: the connection it served is gone
    }
    const std::shared_ptr<EngineConnection> connection = CurrentConnection();
    FilterScope scope(connection.get());
    int kept = 0;
    for (int i = 0; i < nCount; ++i) {
        if (scope.Stale()) {
            return 1;
        }
        const char byte = pBytes[i];
        if (!g_bUploadMode.load()) {
            if (!DroppedInPlainMode(static_cast<unsigned char>(byte))) {
                Keep(pBytes, kept, byte);
            }
            continue;
        }
        if (byte == kAckByte) {
            g_bTargetReady.store(true);
            continue;
        }
        if (!g_bTargetReady.load()) {
            Keep(pBytes, kept, byte);
            continue;
        }
        if (byte == kEnqByte) {
            std::int32_t percent = 0;
            switch (SendNextRecord(connection.get(), percent)) {
            case RecordResult::Completed:
                scope.Notify(UPLOAD_MSG_COMPLETE, 100, 0, nullptr);
                return 0; // the rest of the chunk is not looked at
            case RecordResult::Progress:
                scope.Notify(UPLOAD_MSG_PROGRESS, percent, 0, nullptr);
                break;
            case RecordResult::Ignored:
                break;
            }
            continue;
        }
        if (byte == kNakByte && ResendLastRecord(connection.get())) {
            continue;
        }
        Keep(pBytes, kept, byte);
    }
    if (kept != 0) {
        scope.Notify(UPLOAD_MSG_DATA, 0, kept, pBytes);
    }
    return 1;
}
