#include "UploadProtocol.h"

#include "Trace.h"
#include "UploadFile.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

std::atomic<tarvik::HandshakeControl*> g_hHandshakeThread{nullptr};

namespace tarvik {

// One handshake thread. What the thread needs it keeps in its own copy (HandshakeJob), so the
// control may go while the thread still finishes a notification.
struct HandshakeControl {
    sorvel::StoppableThread thread;
};

// What the thread works with. The path is the one the client gave, which UPLOAD_MSG_STARTED
// carries; the thread keeps its own copy, so that a later upload may rewrite g_szUploadFileName
// while the client reads this one.
struct HandshakeJob {
    std::shared_ptr<EngineConnection> connection;
    std::uint64_t uploadNumber = 0;
    char path[kUploadPathBytes] = {};
    HandshakeControl* control = nullptr; // only compared, never followed
};

namespace {

// Wake-up bytes sent for the current upload, for the trace.
std::atomic<unsigned> g_wakeUpsSent{0};

// The resends of the last record of the upload that completed last.
std::atomic<std::int32_t> g_lastRecordResends{0};

std::atomic<long> g_handshakePeriodMs{kHandshakePeriod.count()};
std::atomic<long> g_handshakeTimeoutMs{kHandshakeTimeout.count()};

// The running handshake thread's control; written under g_engineMutex.
std::unique_ptr<HandshakeControl> g_handshakeControl GUARDED_BY(g_engineMutex);

// True once the box has answered this thread's upload, or the upload has ended.
bool HandshakeDone(const HandshakeJob& job) {
    if (g_bTargetReady.load() || !g_bUploadMode.load()) {
        return true;
    }
    sorvel::MutexLock lock(g_uploadMutex);
    return g_nUploadNumber != job.uploadNumber;
}

// A wake-up byte, unless a stop was asked for. A stop waits for a write under way (for
// kWriteDrainWait at most), so no byte goes out once the stop has returned.
bool SendWakeUp(sorvel::StopContext& context, const HandshakeJob& job) {
    if (context.StopRequested()) {
        return false;
    }
    const char byte = kWakeUpByte;
    job.connection->Write(&byte, 1);
    g_wakeUpsSent.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool NotifyFromHandshake(sorvel::StopContext& context, std::int32_t type, std::int32_t length,
                         char* data) {
    return context.CallOut([&] { Notify(type, 0, length, data); });
}

// Kept bytes go to the start of the reader's buffer. Writing in place is safe: the kept count
// never passes the byte being read.
void Keep(char* bytes, int& kept, char byte) {
    bytes[kept++] = byte;
}

// Bytes that plain mode drops: the protocol's control bytes and their neighbours.
bool DroppedInPlainMode(char byte) {
    return byte == kEotByte || byte == kEnqByte || byte == kAckByte ||
           (byte >= kDc1Byte && byte <= kDc4Byte) || byte == kNakByte || byte == kWakeUpByte ||
           byte == kCanByte;
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

using Clock = std::chrono::steady_clock;

// What a request of the box, or the clock, did to the upload.
enum class Outcome { None, Progress, Completed, Failed };

// The silence allowed while streaming: the handshake's time-out, shortened with it in tests.
std::chrono::milliseconds StreamingSilence() {
    return std::chrono::milliseconds(g_handshakeTimeoutMs.load());
}

std::chrono::nanoseconds WireTime(const EngineConnection* connection, std::int32_t length) {
    // Without a connection (the filter's own tests), the line is 115200 8N1.
    static const std::chrono::nanoseconds kDefaultByteTime = EngineConnection(nullptr).ByteTime();
    return (connection != nullptr ? connection->ByteTime() : kDefaultByteTime) * length;
}

// The rest of the functions here are called with g_uploadMutex held.

// The box asked for something (ENQ or NAK): the silence starts anew, and the time since the
// last record crossed the line is how long the box took to react to it.
void NoteRequest(Clock::time_point now) REQUIRES(g_uploadMutex) {
    UploadWatch& watch = g_uploadWatch;
    watch.lastRequestAt = now;
    if (watch.recordDue) {
        watch.recordDue = false;
        watch.reactionMeasured = true;
        const auto reaction = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<Clock::duration>(now - watch.recordDueAt, kSettleReactionCap));
        watch.longestReaction = std::max(watch.longestReaction, reaction);
    }
}

// A record of length bytes was written at sentAt; for the last record, its window begins.
void NoteRecordSent(const EngineConnection* connection, std::int32_t length,
                    Clock::time_point sentAt) REQUIRES(g_uploadMutex) {
    UploadWatch& watch = g_uploadWatch;
    watch.recordDueAt = sentAt + WireTime(connection, length);
    watch.recordDue = true;
    if (watch.settling) {
        const std::chrono::nanoseconds measured = watch.reactionMeasured
                                                      ? kSettleMargin + 2 * watch.longestReaction
                                                      : std::chrono::nanoseconds(0);
        watch.settleDeadline =
            watch.recordDueAt + std::max<std::chrono::nanoseconds>(kSettleFloor, measured);
        CommReaderWakeAt(watch.settleDeadline);
    }
}

// Ends the upload: file closed, flags clear. A failure also moves the upload's number on, so
// that a filter still at work on it leaves the counters alone.
void EndUploadHere(bool failed) REQUIRES(g_uploadMutex) {
    CloseUploadFile();
    if (failed) {
        ++g_nUploadNumber;
    } else {
        // The counter belongs to the record last read, which is the last record by now.
        g_lastRecordResends.store(g_uploadWatch.resends);
        if (g_uploadWatch.resends > 0) {
            Trace("the box asked for the last record again and then said nothing more: it may "
                  "have taken the copy or given up; check that its front panel shows 'Good'");
        }
    }
    g_uploadWatch.settling = false;
    g_bUploadMode.store(false);
    g_bTargetReady.store(false);
    g_bUploadRunning.store(false);
}

// A record did not go out whole. A connection that the client is closing says nothing more
// (Disconnect leaves the upload as it is); otherwise the upload ends.
Outcome WriteFailed(const EngineConnection* connection, const char*& fault)
    REQUIRES(g_uploadMutex) {
    if (connection != nullptr && connection->Closing()) {
        return Outcome::None;
    }
    fault = connection != nullptr && connection->Gone() ? kReasonPortGone : kReasonWriteFailed;
    EndUploadHere(true);
    return Outcome::Failed;
}

bool Streaming() REQUIRES(g_uploadMutex) {
    return g_bUploadMode.load() && g_bTargetReady.load() && g_hUploadFile.IsOpen();
}

// The box asked for the next record (ENQ in streaming).
Outcome SendNextRecord(EngineConnection* connection, std::int32_t& percent, const char*& fault) {
    sorvel::MutexLock recordLock(g_recordMutex);
    std::uint64_t upload = 0;
    std::int32_t length = 0;
    {
        sorvel::MutexLock lock(g_uploadMutex);
        // The upload may have been cancelled since the byte was classified: then the byte
        // counts as received in plain mode, where ENQ is dropped.
        if (!Streaming()) {
            return Outcome::None;
        }
        NoteRequest(Clock::now());
        // Asked for more after the last record (or a file that counts none): the box holds
        // everything the file has to give.
        if (g_nRecordsLeft <= 0) {
            Trace("complete: the box asked for more after the last record");
            EndUploadHere(false);
            return Outcome::Completed;
        }
        length = ReadUploadRecord(g_RecordBuffer, &fault);
        g_nLastRecordLength = length;
        if (length == 0) {
            EndUploadHere(true);
            return Outcome::Failed;
        }
        g_uploadWatch.resends = 0;
        upload = g_nUploadNumber;
    }
    const int written = connection != nullptr ? connection->Write(g_RecordBuffer, length) : length;
    const Clock::time_point sentAt = Clock::now();
    sorvel::MutexLock lock(g_uploadMutex);
    if (g_nUploadNumber != upload || !g_hUploadFile.IsOpen()) {
        return Outcome::None; // cancelled while the record went out
    }
    if (written != length) {
        return WriteFailed(connection, fault);
    }
    --g_nRecordsLeft;
    g_uploadWatch.settling = g_nRecordsLeft == 0;
    NoteRecordSent(connection, length, sentAt);
    if (TraceOn()) {
        Trace("ENQ: record %d of %d sent, %d bytes",
              static_cast<int>(g_nRecordsTotal - g_nRecordsLeft), static_cast<int>(g_nRecordsTotal),
              static_cast<int>(length));
        if (g_uploadWatch.settling) {
            Trace("the last record: a NAK is waited for until %.0f ms from now",
                  std::chrono::duration<double, std::milli>(g_uploadWatch.settleDeadline -
                                                            Clock::now())
                      .count());
        }
    }
    if (g_uploadWatch.settling) {
        return Outcome::None; // the last record: completion waits for its window
    }
    percent = ProgressPercent(g_nRecordsTotal, g_nRecordsLeft);
    return Outcome::Progress;
}

// The box asked for the last record again (NAK in streaming). Progress stands for "sent again";
// None means there is no record to send, and the byte is kept for the client.
Outcome ResendLastRecord(EngineConnection* connection, const char*& fault) {
    sorvel::MutexLock recordLock(g_recordMutex);
    std::uint64_t upload = 0;
    std::int32_t length = 0;
    {
        sorvel::MutexLock lock(g_uploadMutex);
        if (!g_bUploadMode.load() || !g_bTargetReady.load()) {
            return Outcome::Progress; // cancelled meanwhile: plain mode drops NAK
        }
        if (g_nLastRecordLength == 0 || (g_nRecordsLeft <= 0 && !g_uploadWatch.settling)) {
            return Outcome::None;
        }
        NoteRequest(Clock::now());
        if (++g_uploadWatch.resends > kMaxResends) {
            fault = kReasonNakStorm;
            EndUploadHere(true);
            return Outcome::Failed;
        }
        length = g_nLastRecordLength;
        upload = g_nUploadNumber;
    }
    const int written = connection != nullptr ? connection->Write(g_RecordBuffer, length) : length;
    const Clock::time_point sentAt = Clock::now();
    sorvel::MutexLock lock(g_uploadMutex);
    if (g_nUploadNumber != upload || !g_hUploadFile.IsOpen()) {
        return Outcome::Progress;
    }
    if (written != length) {
        return WriteFailed(connection, fault);
    }
    NoteRecordSent(connection, length, sentAt);
    Trace("NAK: record %d sent again, %d bytes (resend %d)",
          static_cast<int>(g_nRecordsTotal - g_nRecordsLeft), static_cast<int>(length),
          static_cast<int>(g_uploadWatch.resends));
    return Outcome::Progress;
}

// The clock's part: the last record's window has passed, or the box has been silent too long.
Outcome CheckUploadClock(const char*& fault) {
    sorvel::MutexLock lock(g_uploadMutex);
    if (!Streaming()) {
        return Outcome::None;
    }
    const Clock::time_point now = Clock::now();
    if (g_uploadWatch.settling) {
        if (now >= g_uploadWatch.settleDeadline) {
            Trace("complete: no NAK within the last record's window");
            EndUploadHere(false);
            return Outcome::Completed;
        }
        CommReaderWakeAt(g_uploadWatch.settleDeadline);
        return Outcome::None;
    }
    if (now - g_uploadWatch.lastRequestAt >= StreamingSilence()) {
        fault = kReasonSilence;
        EndUploadHere(true);
        return Outcome::Failed;
    }
    return Outcome::None;
}

// The box answered the handshake: streaming begins, and with it the watch on the box's silence.
void StartStreaming() {
    if (g_bTargetReady.load()) {
        return; // a second ACK changes nothing
    }
    sorvel::MutexLock lock(g_uploadMutex);
    g_uploadWatch.lastRequestAt = Clock::now();
    g_bTargetReady.store(true);
    Trace("ACK after %u wake-up bytes", g_wakeUpsSent.load(std::memory_order_relaxed));
}

// Reports the end of an upload that failed, with its reason.
void NotifyFailure(FilterScope& scope, const char* fault) {
    Trace("upload ended: %s", fault != nullptr ? fault : "");
    char text[128] = {};
    std::strncpy(text, fault != nullptr ? fault : "", sizeof text - 1);
    scope.Notify(UPLOAD_MSG_TIMEOUT, 0, static_cast<std::int32_t>(std::strlen(text)), text);
}

// Reports an upload that the last step ended: the filter's result then (0 completed, 1 failed),
// or nothing while the upload goes on.
std::optional<int> ReportEnd(FilterScope& scope, Outcome outcome, const char* fault) {
    if (outcome == Outcome::Completed) {
        scope.Notify(UPLOAD_MSG_COMPLETE, 100, 0, nullptr);
        return 0;
    }
    if (outcome == Outcome::Failed) {
        NotifyFailure(scope, fault);
        return 1;
    }
    return std::nullopt;
}

// A byte of the box while streaming. A request (ENQ, NAK) is answered; any other byte, and a
// NAK with no record to send again, is to be kept for the client (keep). Returns the filter's
// result when the byte ended the upload: the rest of the chunk is then not looked at.
std::optional<int> HandleRequest(FilterScope& scope, EngineConnection* connection, char byte,
                                 bool& keep) {
    const char* fault = nullptr;
    if (byte == kEnqByte) {
        std::int32_t percent = 0;
        const Outcome outcome = SendNextRecord(connection, percent, fault);
        if (outcome == Outcome::Progress)
            scope.Notify(UPLOAD_MSG_PROGRESS, percent, 0, nullptr);
        return ReportEnd(scope, outcome, fault);
    }
    if (byte == kNakByte) {
        const Outcome resent = ResendLastRecord(connection, fault);
        keep = resent == Outcome::None;
        return ReportEnd(scope, resent, fault);
    }
    keep = true;
    return std::nullopt;
}

// After a chunk: the last record's window may have passed, or the box been silent too long.
int CheckClockAfterChunk(FilterScope& scope) {
    if (!g_bUploadMode.load() || !g_bTargetReady.load() || scope.Stale()) {
        return 1;
    }
    const char* fault = nullptr;
    const Outcome outcome = CheckUploadClock(fault);
    return ReportEnd(scope, outcome, fault).value_or(1);
}

} // namespace

std::int32_t LastRecordResends() {
    return g_lastRecordResends.load();
}

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
                          std::uint64_t uploadNumber) REQUIRES(g_engineMutex) {
    if (ThreadStartFailsForTest()) {
        return false;
    }
    auto control = std::make_unique<HandshakeControl>();
    auto job = std::make_shared<HandshakeJob>();
    job->connection = std::move(connection);
    job->uploadNumber = uploadNumber;
    job->control = control.get();
    g_wakeUpsSent.store(0, std::memory_order_relaxed);
    std::strncpy(job->path, path, kUploadPathBytes - 1);
    // Registered before it runs, so that the thread's own clearing at its end always finds it.
    g_hHandshakeThread.store(control.get());
    if (!control->thread.Start(
            [job](sorvel::StopContext& context) { HandshakeThreadProc(context, *job); })) {
        g_hHandshakeThread.store(nullptr);
        return false;
    }
    g_handshakeControl = std::move(control);
    return true;
}

void StopHandshakeThread() REQUIRES(g_engineMutex) {
    g_hHandshakeThread.store(nullptr);
    std::unique_ptr<HandshakeControl> control = std::move(g_handshakeControl);
    if (control) {
        // A write in flight is waited for, kWriteDrainWait at most; a notification is not.
        control->thread.Stop(kWriteDrainWait);
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

void HandshakeThreadProc(sorvel::StopContext& context, const tarvik::HandshakeJob& job) {
    using namespace tarvik;
    using Clock = std::chrono::steady_clock;
    auto run = [&] {
        if (!SendWakeUp(context, job)) {
            return;
        }
        Clock::time_point reference = Clock::now();
        char path[kUploadPathBytes];
        std::memcpy(path, job.path, sizeof path);
        if (!NotifyFromHandshake(context, UPLOAD_MSG_STARTED,
                                 static_cast<std::int32_t>(std::strlen(path)), path)) {
            return;
        }
        // The answer is tested before each turn and after it, never between sending and sleeping.
        while (!HandshakeDone(job)) {
            if (!SendWakeUp(context, job)) {
                return;
            }
            if (!context.WaitFor(std::chrono::milliseconds(g_handshakePeriodMs.load()))) {
                return;
            }
            const auto elapsed = Clock::now() - reference;
            if (elapsed >= std::chrono::milliseconds(g_handshakeTimeoutMs.load())) {
                Trace("time-out: no answer to %u wake-up bytes",
                      g_wakeUpsSent.load(std::memory_order_relaxed));
                if (!NotifyFromHandshake(context, UPLOAD_MSG_TIMEOUT, 0, nullptr)) {
                    return;
                }
                // The client may have held the notification; the next period starts now.
                reference = Clock::now();
            }
        }
    };
    run();
    HandshakeControl* self = job.control;
    g_hHandshakeThread.compare_exchange_strong(self, nullptr);
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
            if (!DroppedInPlainMode(byte)) {
                Keep(pBytes, kept, byte);
            }
            continue;
        }
        if (byte == kAckByte) {
            StartStreaming();
            continue;
        }
        if (!g_bTargetReady.load()) {
            Keep(pBytes, kept, byte);
            continue;
        }
        bool keep = false;
        if (const std::optional<int> ended = HandleRequest(scope, connection.get(), byte, keep)) {
            return *ended;
        }
        if (!keep) {
            continue;
        }
        Keep(pBytes, kept, byte);
    }
    if (kept != 0) {
        if (TraceOn()) {
            Trace("box sent: %s", BoxBytesText(pBytes, static_cast<std::size_t>(kept)).c_str());
        }
        scope.Notify(UPLOAD_MSG_DATA, 0, kept, pBytes);
    }
    // Bytes that keep coming without a request must not hold the clock off.
    return CheckClockAfterChunk(scope);
}

void UploadReaderIdle(int event) {
    using namespace tarvik;
    if (CommReaderStopRequested()) {
        return;
    }
    const std::shared_ptr<EngineConnection> connection = CurrentConnection();
    FilterScope scope(connection.get());
    if (scope.Stale()) {
        return;
    }
    const char* fault = nullptr;
    Outcome outcome = Outcome::None;
    if (event == COMM_IDLE_PORT_GONE) {
        Trace("port gone (hang-up or I/O error)");
        if (connection != nullptr) {
            connection->MarkGone();
        }
        sorvel::MutexLock lock(g_uploadMutex);
        if (g_bUploadMode.load()) {
            // Also inside the last record's window: nothing tells that the box has that record
            // (a USB adapter may hold it still), nor one sent again after a NAK.
            fault = kReasonPortGone;
            EndUploadHere(true);
            outcome = Outcome::Failed;
        }
    } else {
        outcome = CheckUploadClock(fault);
    }
    if (outcome == Outcome::Completed) {
        scope.Notify(UPLOAD_MSG_COMPLETE, 100, 0, nullptr);
    } else if (outcome == Outcome::Failed) {
        NotifyFailure(scope, fault);
    }
}
