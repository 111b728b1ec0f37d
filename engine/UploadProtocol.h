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
//
// A file counts as delivered only when its last record went out and the box did not ask for it
// again within the settle window after it left:
//
//   window = L * c + max(kSettleFloor, kSettleMargin + 2 * r)
//
// L is the record's length in bytes, c the time of one character on the line (start bit, data
// bits, parity, stop bits at the connection's speed: 86.8 us at 115200 8N1), and r the longest
// time the box has taken in this upload to ask again once a record had crossed the line (at most
// kSettleReactionCap). The floor is there for a box that checks the whole file before it answers
// its last record: such a box takes far longer over the last record than over the others, so the
// reactions measured before it say nothing about it. The window starts when the write of the
// record returned. A NAK in the window sends the record again and starts a new window; an ENQ
// ends it at once (the box asks for more, so it holds the record). UPLOAD_MSG_COMPLETE comes when
// the window has passed with no answer, on the reader thread (UploadReaderIdle), with no engine
// lock held: the client may start the next upload or disconnect from inside it, and the record
// has crossed the line by then. The port going away before that, inside the window too, ends the
// upload as a failure: nothing tells that the box has the record (a USB adapter may still hold
// it). At 115200 baud a 5000-byte record of a box that answers at once settles in 1.43 s, of
// which 434 ms is its wire time.
//
// The protocol has no answer for a good last record: after a NAK of the last record, a box that
// took the copy and one that gave up both fall silent. LastRecordResends() tells the client how
// often the last record of the upload that completed last was sent again, so that it can say so.

// Every way a started upload can end is reported. Besides completion, the upload ends with
// UPLOAD_MSG_TIMEOUT, whose pData holds one of the kReason texts below (nDataLength its length,
// valid during the call), when the port goes away, when the box has asked for nothing for
// kHandshakeTimeout while streaming, when the file cannot give the next record (see
// ReadUploadRecord), when a record cannot be written whole, and when the box refuses the same
// record more than kMaxResends times. The file is then closed, the flags are clear and nothing
// more of the upload is sent. The handshake's own time-outs carry no text and end nothing.
#pragma once

#include "EngineState.h"
#include "StoppableThread.h"

#include <chrono>
#include <cstdint>

constexpr char kWakeUpByte = 0x17; // ETB
constexpr char kAckByte = 0x06;
constexpr char kEnqByte = 0x05;
constexpr char kNakByte = 0x15;
// Flow and control bytes that the filter never hands to the client outside an upload: EOT, ENQ,
// ACK, DC1 to DC4 (XON, XOFF among them), NAK, ETB and CAN.
constexpr char kEotByte = 0x04;
constexpr char kDc1Byte = 0x11;
constexpr char kDc4Byte = 0x14;
constexpr char kCanByte = 0x18;

constexpr std::chrono::milliseconds kHandshakePeriod{50};
constexpr std::chrono::milliseconds kHandshakeTimeout{15000};

// The box's reaction to the last record, beyond its wire time, that the settle window allows:
// twice the longest reaction seen in the upload plus a margin for scheduling, and never less than
// the floor. The floor covers a box that checks the whole file before it answers (hundreds of
// milliseconds), a file of one record (nothing measured), and the way back of the answer through
// a USB adapter, whose latency timer holds a lone byte up to 16 ms by default.
constexpr std::chrono::milliseconds kSettleMargin{10};
constexpr std::chrono::milliseconds kSettleFloor{1000};
constexpr std::chrono::milliseconds kSettleReactionCap{1000};
// Resends of one record (NAK) that the engine answers before it gives the upload up.
constexpr std::int32_t kMaxResends = 16;

// Why an upload ended with UPLOAD_MSG_TIMEOUT (besides the upload file's faults in UploadFile.h).
constexpr const char* kReasonPortGone = "the port was disconnected";
constexpr const char* kReasonSilence = "the box stopped asking for records";
constexpr const char* kReasonNakStorm = "the box refused the same record again and again";
constexpr const char* kReasonWriteFailed = "a record could not be written to the port";

namespace tarvik {

// One handshake thread, and what the thread works with.
struct HandshakeControl;
struct HandshakeJob;

// Starts the handshake thread of the upload g_nUploadNumber over connection, for the path given
// (copied). Stores the thread in g_hHandshakeThread. Returns false when the thread cannot be
// started. Called under g_engineMutex.
bool StartHandshakeThread(std::shared_ptr<EngineConnection> connection, const char* path,
                          std::uint64_t uploadNumber) REQUIRES(g_engineMutex);

// Stops the running handshake thread, if any, and clears g_hHandshakeThread. When it returns, the
// thread sends no further byte and begins no further notification; a notification already under
// way may go on, and is not waited for. A write in flight is waited for (kWriteDrainWait at
// most). Called under g_engineMutex; may be called from any thread, including the handshake
// thread itself (from inside its notification).
void StopHandshakeThread() REQUIRES(g_engineMutex);

// True while a handshake thread is registered in g_hHandshakeThread.
bool HandshakeThreadRunning();

// Shortens the handshake's period and time-out (which is also the silence allowed while
// streaming) for tests; the shipped values are
// kHandshakePeriod and kHandshakeTimeout. Takes effect from the next turn of a running thread.
void SetHandshakeTimingForTest(std::chrono::milliseconds period, std::chrono::milliseconds timeout);
void ResetHandshakeTiming();

// How often the last record of the upload that completed last was sent again (a NAK after it).
std::int32_t LastRecordResends();

// The percentage reported after a record: (total - left) / total * 100 in double precision,
// truncated; 100 when the file counts no record.
std::int32_t ProgressPercent(std::int32_t total, std::int32_t left);

} // namespace tarvik

// The running handshake thread; null when none.
extern std::atomic<tarvik::HandshakeControl*> g_hHandshakeThread;

// Body of the handshake thread (see above).
void HandshakeThreadProc(sorvel::StopContext& context, const tarvik::HandshakeJob& job);

// The serial channel's receive callback: handles nCount received bytes at pBytes, leaving the
// bytes it keeps at the start of pBytes. Returns 0 when this call completed an upload, else 1.
int UploadReceiveFilter(char* pBytes, int nCount);

// The serial channel's idle callback (a CommIdleProc): on a quiet wait, completes an upload
// whose settle window has passed, or ends one whose box has gone silent; when the port went
// away, ends the upload under way.
void UploadReaderIdle(int event);
