// The serial channel: one serial port per process, its reader thread and its writer.
//
// Calling order over one connection: CommOpen, CommStartReader, any number of CommWrite calls
// from any threads, CommStopReader, CommClose. Failures of steps that do not stop an operation
// are shown as channel error messages ("Error - ...", error icon, caption: the program file's
// name plus ".exe") through the platform message box, on the thread that met them; the
// operation then goes on.
//
// Threads and lifetimes. CommOpen, CommClose, CommStartReader and CommStopReader belong to the
// thread that connects and disconnects, except that CommStopReader and CommClose may also be
// called from inside the receive callback. CommWrite may be called from any threads at once;
// each call's bytes go out whole, never interleaved with another call's. A handle that
// CommClose has released is no port any more: late calls with it do nothing. The device is let
// go by the time CommClose returns (the next CommOpen of it succeeds) and is never touched
// again, also by a reader or a write still running then. On Linux such a thread keeps the
// descriptor number itself taken (it names /dev/null) until it lets go; on Windows CommClose
// cancels their requests and waits for them to end (2 s at most) before it closes the handle.
//
// A port that goes away (adapter unplugged, pseudo-terminal hung up) is not a busy loop: the
// reader stops touching it, sets the thread exit event and waits for its stop. The first write
// that meets the loss (or comes after the reader met it) shows "Error - Cannot write data in to
// port." once; later writes return 0 at once and quietly.
//
// The backend is chosen by CMake (Comm_linux.cpp on Linux, Comm_win32.cpp on Windows); what the
// two do the same way lives once in CommPorts.cpp, CommReader.cpp and CommMessages.cpp. This
// header carries no platform code.
#pragma once

#include "SorvelWinTypes.h"

#include <chrono>
#include <string>

// An open port; null means none.
struct CommPort;
using HCOMM = CommPort*;
// A running reader thread; null means none.
struct CommReader;
using HCOMMREADER = CommReader*;

// Receives 1 to 2048 bytes on the reader thread. The buffer belongs to the reader and may be
// rewritten by the callback; it is valid only during the call. The result is ignored.
using CommReceiveProc = int (*)(char* pBytes, int nCount);

// What the reader tells its owner besides received bytes, on the reader thread.
enum CommIdleEvent : int {
    // A wait for bytes ended with nothing received: after the reader's usual 500 ms, or at the
    // time the owner asked for with CommReaderWakeAt.
    COMM_IDLE_QUIET = 0,
    // The port went away (hang-up, I/O error, adapter unplugged). Told once; the reader then
    // leaves the port alone and waits for its stop.
    COMM_IDLE_PORT_GONE = 1,
};
// Called like the receive callback (same thread, same rules for stops); the result is ignored.
using CommIdleProc = void (*)(int event);

// Line settings applied by CommOpen; the engine copies its DCB here before each open.
extern DCB g_dcbComm;

// 1 if this platform can run the channel.
int CommCheckPlatform();

// Opens the named port exclusively and configures it from g_dcbComm. Returns the port, or null
// when it cannot be opened (missing, held by another process, no permission): that failure shows
// no message; its reason is kept for CommLastOpenError. Names "COMn" and "COMn:" (any case) open
// the port that CommDevicePath names; other names are device paths, used as given.
HCOMM CommOpen(const char* portName);

// Applies g_dcbComm to the port, and the fixed read time-outs (wait for the first byte, then
// hand on what has come: VMIN 1 and VTIME 0 on Linux, a 1 ms interval between bytes on
// Windows); shows a message for each part that fails. Returns 1.
int CommSetState(HCOMM port);

// Closes the port. Returns 1; 0 when the handle names no open port, or (Windows) when the system
// refused to close it.
int CommClose(HCOMM port);

// Writes count bytes; returns the number written. Any thread; several at once.
int CommWrite(HCOMM port, const char* buffer, int count);

// Starts the reader thread, which hands received bytes to receiver and its quiet times and the
// port's loss to idle (when given). Null on failure (after the message "Error - Cannot initiate
// port Read thread.").
HCOMMREADER CommStartReader(HCOMM port, CommReceiveProc receiver, CommIdleProc idle = nullptr);

// Called from the receive or idle callback: unless bytes arrive first, the reader calls the idle
// callback with COMM_IDLE_QUIET at `when` rather than after its usual 500 ms of quiet. Bytes
// that are already waiting are always handed over before that call, so the owner never acts on
// a deadline while an answer that came in time sits unread. One time at most is kept; a later
// call replaces it. Does nothing on any other thread.
void CommReaderWakeAt(std::chrono::steady_clock::time_point when);

// Stops the reader thread and releases it. From another thread it waits for the reader unless
// the reader is inside the receive callback or a channel message box, and never longer than it
// takes the reader to leave its wait; from the reader thread itself (inside the callback) it does
// not wait. After it returns the callback is never called again. Returns 1.
int CommStopReader(HCOMMREADER reader);

// Called from the receive callback: true once CommStopReader was called for the reader that runs
// it. A call of the callback that had begun when CommStopReader returned may still be on its
// way in; it asks this first and leaves everything alone. False on any other thread.
bool CommReaderStopRequested();

// Whether the port's thread exit event is set: a write was aborted (the device went away or the
// port was closed under it). Once set, writes that would have to wait return at once.
bool CommExitEventIsSet(HCOMM port);

// The system's reason for the last CommOpen that returned null on the calling thread, such as
// "/dev/ttyUSB0: Permission denied" on Linux; "" after a successful open.
std::string CommLastOpenError();

// What kind of failure that was, on the calling thread: the port exists and another program holds
// it, the name opens nothing (no such device, adapter unplugged), it opens something that is no
// serial port, the user may not open it, or anything else. COMM_OPEN_OK after a successful open.
enum CommOpenFailure : int {
    COMM_OPEN_OK = 0,
    COMM_OPEN_HELD = 1,
    COMM_OPEN_MISSING = 2,
    COMM_OPEN_NOT_SERIAL = 3,
    COMM_OPEN_DENIED = 4,
    COMM_OPEN_OTHER = 5,
};
int CommLastOpenFailure();

// The device path that a port name opens on this system: for "COMn" and "COMn:", on Linux the
// device that the user's mapping names, else /dev/ttyS<n-1>; on Windows \\.\COMn. Other names
// are returned unchanged.
std::string CommDevicePath(const std::string& portName);
