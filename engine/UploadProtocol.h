// The byte protocol with the box, and the two pieces of the engine that speak it.
//
//   engine -> box  0x17 ETB, again about every 50 ms     (handshake thread)
//   box -> engine  0x06 ACK                              (the engine stops sending 0x17)
//   box -> engine  0x05 ENQ: send the next record        (receive filter, reader thread)
//   box -> engine  0x15 NAK: send the last record again
// Any other byte from the box reaches the client as UPLOAD_MSG_DATA.
//
// The handshake thread wakes the box and reports UPLOAD_MSG_STARTED and, every 15 s without an
// answer, UPLOAD_MSG_TIMEOUT. It stops by itself once the box has answered (or its upload has
// ended), or by request (StopHandshakeThread): a flag and a wake-up, never by force.
//
// The receive filter runs on the serial reader thread for every chunk of received bytes. It
// answers the box's requests, counts the records down, reports progress and completion, and
// hands the other bytes to the client. It allocates nothing.
#pragma once

#include "EngineState.h"

#include <chrono>
#include <cstdint>

constexpr char kWakeUpByte = 0x17; // ETB
constexpr char kAckByte = 0x06;
constexpr char kEnqByte = 0x05;
constexpr char kNakByte = 0x15;

constexpr std::chrono::milliseconds kHandshakePeriod{50};
constexpr std::chrono::milliseconds kHandshakeTimeout{15000};

namespace tarvik {

// One handshake thread: what it needs, kept alive by the thread and by its stopper.
struct HandshakeControl;

// Starts the handshake thread of the upload g_nUploadNumber over connection, for the path given
// (copied). Stores the thread in g_hHandshakeThread. Returns false when the thread cannot be
// started. Called under g_engineMutex.
bool StartHandshakeThread(std::shared_ptr<EngineConnection> connection, const char* path,
                          std::uint64_t uploadNumber);

// Stops the running handshake thread, if any, and clears g_hHandshakeThread. When it returns, the
// thread sends no further byte and begins no further notification; a notification already under
// way may go on, and is not waited for. A write in flight is waited for (kWriteDrainWait at
// most). The thread is joined when it cannot be held by a person (it is not inside a
// notification and is not the calling thread), otherwise left to end by itself. Called under
// g_engineMutex; may be called from any thread, including the handshake thread itself.
void StopHandshakeThread();

// True while a handshake thread is registered in g_hHandshakeThread.
bool HandshakeThreadRunning();

// Shortens the handshake's period and time-out for tests; the shipped values are
// kHandshakePeriod and kHandshakeTimeout. Takes effect from the next turn of a running thread.
void SetHandshakeTimingForTest(std::chrono::milliseconds period, std::chrono::milliseconds timeout);
void ResetHandshakeTiming();

// The percentage reported after a record: (total - left) / total * 100 in double precision,
// truncated; 100 when the file counts no record.
std::int32_t ProgressPercent(std::int32_t total, std::int32_t left);

} // namespace tarvik

// The running handshake thread; null when none.
extern std::atomic<tarvik::HandshakeControl*> g_hHandshakeThread;

// Body of the handshake thread (see above).
void HandshakeThreadProc(const std::shared_ptr<tarvik::HandshakeControl>& control);

// The serial channel's receive callback: handles nCount received bytes at pBytes, leaving the
// bytes it keeps at the start of pBytes. Returns 0 when this call completed an upload, else 1.
int UploadReceiveFilter(char* pBytes, int nCount);
