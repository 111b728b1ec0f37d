// Tarvik_Dll: the upload engine for the Brevon set-top box.
//
// A client constructs one CTarvik with its notification function, writes the port name into
// m_szPortName, calls Connect, and then UploadURTFile for each upload file; the engine wakes the
// box, sends the file's records as the box asks for them and reports through notifications.
// CancelUploadProcess ends an upload and keeps the connection; Disconnect closes it.
//
// Everything that belongs to a connection or an upload is process-wide: every CTarvik object of
// a process shares one connection. Notifications arrive on the engine's own threads (the reader
// thread: progress, data, completion; the handshake thread: started, time-out), never on the
// thread that called the class, and two of them may overlap in time. The client may call the
// engine from inside a notification (start the next upload from UPLOAD_MSG_COMPLETE, cancel and
// disconnect); a notification that blocks (in a prompt, for example) never blocks another
// thread's CancelUploadProcess or Disconnect.
//
// Results: Connect 0 connected, 1 already connected, 2 no notification function, 3 opening the
// port failed (or the name fills m_szPortName without its NUL), 4 the reader thread failed (the
// port then stays open until Disconnect). UploadURTFile 0 started, 1 an upload is running, 2 the
// handshake thread failed, 3 the file does not open or is no upload file (or its path does not
// fit 259 characters), 4 not connected. After 2 or 3 no upload is under way and no file is open.
//
// The end of an upload. UPLOAD_MSG_COMPLETE means that every record went out and the box did
// not ask for the last one again within a settle window after it left (its wire time, then at
// least a second for the box's answer); it comes on the reader thread once that window has
// passed, and Disconnect from inside it cuts off nothing the box still reads. The protocol has no
// positive answer for the last record: when the box asked for it again, GetLastRecordResends
// says so, and only the box itself (its front panel) can tell whether it took the copy.
// Once the box has answered the handshake, every other way the upload can end is reported as
// UPLOAD_MSG_TIMEOUT with a reason in pData (nDataLength bytes, no NUL counted, valid only
// during the call): "the port was disconnected", "the box stopped asking for records" (nothing
// asked for 15 s), "the box refused the same record again and again" (more than 16 resends of
// one record), "the upload file ends before its last record", "the upload file ends inside a
// record", "the upload file holds a damaged record header", "a record of the upload file is too
// long", "the upload file cannot be read", "the upload file changed while it was being sent"
// (written to since the upload opened it), "a record could not be written to the port". The
// upload has then ended (no file open, nothing more of it is sent), and UploadURTFile may start
// another. The port going away during the handshake, or after the last record before its window
// has passed, ends the upload the same way. The handshake's own time-out (every 15 s without an
// answer) keeps pData null and ends nothing.
// UploadURTFile answers 4 on a port that has gone away.
//
// Stopping: after CancelUploadProcess returns, no wake-up byte goes out and no notification of
// that upload begins; after Disconnect returns, no received byte reaches the engine. Neither waits
// for a notification that is under way, and both may be called from inside notifications.
//
// This header compiles on its own in any C++17 translation unit.
#pragma once

#include "SorvelWinTypes.h"

#include <cstdint>

#if defined(_WIN32)
#if defined(TARVIK_BUILDING)
#define TARVIK_API __declspec(dllexport)
#elif defined(TARVIK_STATIC)
#define TARVIK_API // the engine linked in, not loaded from Tarvik_Dll.dll (tests)
#else
#define TARVIK_API __declspec(dllimport)
#endif
#else
#define TARVIK_API __attribute__((visibility("default")))
#endif

// Kinds of notification (nMsgType).
constexpr std::int32_t UPLOAD_MSG_STARTED = 0;  // handshake thread; pData: the path
constexpr std::int32_t UPLOAD_MSG_PROGRESS = 1; // reader thread; nPercent
constexpr std::int32_t UPLOAD_MSG_TIMEOUT = 2;  // handshake thread: every 15 s without answer;
                                                // reader thread: the upload ended (pData: why)
constexpr std::int32_t UPLOAD_MSG_DATA = 3;     // reader thread; bytes the box sent
constexpr std::int32_t UPLOAD_MSG_COMPLETE = 4; // reader thread; nPercent 100; the box has it all

// Results of Connect.
constexpr unsigned int CONNECT_OK = 0;
constexpr unsigned int CONNECT_ALREADY_CONNECTED = 1;
constexpr unsigned int CONNECT_NO_NOTIFY_FUNCTION = 2;
constexpr unsigned int CONNECT_PORT_FAILED = 3;
constexpr unsigned int CONNECT_READER_FAILED = 4;
// Results of UploadURTFile.
// Why the port did not open when Connect answered CONNECT_PORT_FAILED (GetLastPortFailure).
constexpr int PORT_FAILURE_NONE = 0;       // the port opened, or Connect failed otherwise
constexpr int PORT_FAILURE_HELD = 1;       // it exists and another program holds it
constexpr int PORT_FAILURE_MISSING = 2;    // the name opens nothing (no such port, unplugged)
constexpr int PORT_FAILURE_NOT_SERIAL = 3; // it opens something that is no serial port
constexpr int PORT_FAILURE_DENIED = 4;     // the user may not open it
constexpr int PORT_FAILURE_OTHER = 5;

constexpr unsigned int UPLOAD_STARTED = 0;
constexpr unsigned int UPLOAD_ALREADY_RUNNING = 1;
constexpr unsigned int UPLOAD_THREAD_FAILED = 2;
constexpr unsigned int UPLOAD_BAD_FILE = 3;
constexpr unsigned int UPLOAD_NOT_CONNECTED = 4;

// One notification. The record and the bytes at pData are valid only during the call.
struct _tagUploadNotificationMsgstruct {
    std::int32_t nMsgType;
    std::int32_t nPercent;
    std::int32_t nDataLength;
    char* pData;
};

using UploadNotifyProc = void (*)(_tagUploadNotificationMsgstruct*);

class TARVIK_API CTarvik {
public:
    // Port "COM1", 115200 baud 8N1, no flow control, DTR on, RTS off. A null function is
    // accepted here and refused by Connect.
    explicit CTarvik(void (*pfnNotify)(_tagUploadNotificationMsgstruct*));
    CTarvik& operator=(const CTarvik& other);

    unsigned int Connect();
    unsigned int UploadURTFile(char* const pszFileName);
    void CancelUploadProcess();
    void Disconnect();

    // The reason for the last failure of Connect or UploadURTFile on the calling thread, or ""
    // after a success: the system's reason for a port that does not open
    // ("/dev/ttyUSB0: Permission denied ..."), or for a file "<path>: No such file or
    // directory", "<path>: not an upload file", "<path>: record count too large",
    // "path too long", "not connected", "an upload is running" and the like.
    static const char* GetLastErrorText();
    // How often the box asked for the last record of the upload that completed last again (a NAK
    // after it), 0 when it never did. Read it in UPLOAD_MSG_COMPLETE, or before the next upload
    // completes.
    static int GetLastRecordResends();
    // Why the port did not open at the last Connect on the calling thread that answered
    // CONNECT_PORT_FAILED (PORT_FAILURE_HELD ...); PORT_FAILURE_NONE after any other answer.
    static int GetLastPortFailure();
    // Writes a line of the client's to the trace, when tracing is on (see the README's
    // SORVEL_TRACE): what the client decided, between the engine's own lines. Any thread.
    static void TraceNote(const char* pszText);

    char m_szPortName[100];
    DCB m_dcb;
    void (*m_pfnNotify)(_tagUploadNotificationMsgstruct*);
};
