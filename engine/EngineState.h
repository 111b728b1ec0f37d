// The engine's library-wide state: one connection and one upload per process, shared by every
// CTarvik object and by the engine's threads.
//
// Threads and rules:
// - The client's threads run CTarvik's operations; they are serialised by g_engineMutex.
// - The serial reader thread runs the receive filter (UploadProtocol.h) for the connection.
// - One handshake thread runs per upload until the box answers or it is asked to stop.
// Flags and handles are atomic words that every user reads afresh. Everything else that threads
// share is declared below with the lock that guards it, checked by Clang (-Wthread-safety). No
// lock of the engine is held while a client notification runs, so a client blocked in a
// notification (in a prompt, for example) never blocks another thread's operation.
//
// None of this is exported from Tarvik_Dll; tests reach it through the internal static library.
#pragma once

#include "Comm.h"
#include "ReadOnlyFile.h"
#include "Tarvik.h"
#include "ThreadAnnotations.h"
#include "UploadFormat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Sizes of the fixed buffers, NUL included where a text is kept. The record and the path are
// as large as the upload-file format allows.
constexpr int kRecordBufferBytes = static_cast<int>(sorvel::upload::kMaxRecordBytes);
constexpr int kUploadPathBytes = static_cast<int>(sorvel::upload::kMaxPathChars) + 1;

namespace tarvik {

// One open port and the writes in flight on it. The receive filter and the handshake thread
// write through it; Disconnect closes it. A write that begins after the close has begun is
// refused, and Close returns only once no write can still be looking the port up, so no thread
// ever writes to a port that was closed, nor to a later port that happens to get its handle.
class EngineConnection {
public:
    // dcb: the line settings the port was opened with; they give the wire time of a byte.
    explicit EngineConnection(HCOMM port, const DCB& dcb = DefaultLineSettings());
    EngineConnection(const EngineConnection&) = delete;
    EngineConnection& operator=(const EngineConnection&) = delete;

    // Writes the bytes with CommWrite. Returns the count written, or 0 once closing began.
    int Write(const char* bytes, int count);
    // True once Close was called: the connection's threads stop what they are doing.
    bool Closing() const { return m_closing.load(std::memory_order_acquire); }
    // Refuses every later write, closes the port (which ends a write waiting for the line) and
    // waits for the writes in flight to return: at once, unless a write is showing a channel
    // message to a person, which is waited for kWriteDrainWait at most.
    void Close();

    // The time one character takes on the line: start bit, data bits, parity bit, stop bits.
    std::chrono::nanoseconds ByteTime() const { return m_byteTime; }
    // The port went away (the reader saw a hang-up or an I/O error, or a write was aborted).
    bool Gone() const;
    void MarkGone() { m_gone.store(true, std::memory_order_release); }

    // 115200 baud, 8 data bits, no parity, one stop bit.
    static const DCB& DefaultLineSettings();

private:
    HCOMM m_port;
    std::chrono::nanoseconds m_byteTime;
    std::atomic<bool> m_gone{false};
    std::atomic<bool> m_closing{false};
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_writers = 0; // guarded by m_mutex
};

// The connection whose reader runs the filter now; null when not connected.
std::shared_ptr<EngineConnection> CurrentConnection();
void SetCurrentConnection(std::shared_ptr<EngineConnection> connection);

// How long a stop request or a close waits for a write in flight to end.
constexpr std::chrono::milliseconds kWriteDrainWait{1000};

// For tests: while set, starting the reader thread (Connect) and the handshake thread
// (UploadURTFile) fails as when the system has no thread to give.
void SetThreadStartFailureForTest(bool fail);
bool ThreadStartFailsForTest();

// Gives one notification to the client's function, if there is one.
void Notify(std::int32_t type, std::int32_t percent, std::int32_t length, char* data);

// The text returned by CTarvik::GetLastErrorText on this thread.
void SetLastErrorText(std::string text);
const char* LastErrorText();
// The kind CTarvik::GetLastPortFailure gives on this thread.
void SetLastPortFailure(int failure);
int LastPortFailure();

} // namespace tarvik

namespace tarvik {

// How the current upload is watched once the box answered (UploadProtocol.h): when the box last
// asked for something, when the last record sent is due at the box, how long the box has taken
// to react after a record, and the settle window of the last record. Guarded by g_uploadMutex.
struct UploadWatch {
    using TimePoint = std::chrono::steady_clock::time_point;
    TimePoint lastRequestAt{}; // ACK, ENQ or NAK of the box while streaming
    TimePoint recordDueAt{};   // when the record last written has crossed the line
    bool recordDue = false;    // recordDueAt waits for the box's next request to be measured
    std::chrono::nanoseconds longestReaction{0};
    bool reactionMeasured = false; // the box has asked again after at least one record
    std::int32_t resends = 0;      // NAKs answered for the record last read
    bool settling = false;         // the last record is out; the window has not passed yet
    TimePoint settleDeadline{};
};

} // namespace tarvik

// The locks, in the order they are taken: g_engineMutex (the client's operations), then
// g_recordMutex (the record buffer), then g_uploadMutex (the upload's file and counters). No lock
// of the engine is held while a client notification runs.
extern sorvel::Mutex g_engineMutex;
extern sorvel::Mutex g_recordMutex;
extern sorvel::Mutex g_uploadMutex;

// The connection (written by Connect and Disconnect under g_engineMutex). The engine counts as
// connected exactly while g_hPort is non-null.
extern std::atomic<HCOMM> g_hPort;
extern std::atomic<HCOMMREADER> g_hReaderThread;
extern std::atomic<UploadNotifyProc> g_pfnNotify;

// The upload. The handshake thread keeps its own copy of the path.
extern char g_szUploadFileName[kUploadPathBytes] GUARDED_BY(g_uploadMutex);
// The open upload file; not open when no upload is under way.
extern sorvel::ReadOnlyFile g_hUploadFile GUARDED_BY(g_uploadMutex);
// The next record's start.
extern std::int64_t g_nUploadFileOffset GUARDED_BY(g_uploadMutex);
extern std::int32_t g_nRecordsTotal GUARDED_BY(g_uploadMutex);
extern std::int32_t g_nRecordsLeft GUARDED_BY(g_uploadMutex);
extern std::int32_t g_nLastRecordLength GUARDED_BY(g_uploadMutex);
// One more for each upload, and for each upload that was ended from outside the filter.
extern std::uint64_t g_nUploadNumber GUARDED_BY(g_uploadMutex);
extern char g_RecordBuffer[kRecordBufferBytes] GUARDED_BY(g_recordMutex);
extern tarvik::UploadWatch g_uploadWatch GUARDED_BY(g_uploadMutex);

// Flags that every user reads afresh, without a lock.
extern std::atomic<bool> g_bUploadMode;
extern std::atomic<bool> g_bTargetReady;
extern std::atomic<bool> g_bUploadRunning;
