// What the serial channel's backends keep of an open port and do with it the same way: the
// port's state (its thread exit event, whether it was closed or lost, the lock that keeps whole
// writes apart), the registry of open ports by handle (CommOpen publishes a port, CommClose takes
// it out), CommOpen's and CommWrite's steps before the system is called, and the calls that only
// look a port up. Each backend derives its own port type from CommPort and gives the functions
// at the end of this header. Internal to the channel.
//
// A port is shared by its registry entry and by every thread that works on it (the reader, each
// writer), each holding a std::shared_ptr while it does.
#pragma once

#include "Comm.h"
#include "WakeEvent.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

struct CommPort {
    CommPort() = default;
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    bool ExitEventSet() const { return exitSet.load(std::memory_order_acquire); }
    void SetExitEvent() {
        if (!exitSet.exchange(true, std::memory_order_acq_rel))
            exitEvent.Set();
    }
    // The device is gone: nothing touches it again, and no write waits for it any more.
    void SetGone() {
        gone = true;
        SetExitEvent();
    }
    // SetGone, and the message a write shows for the loss: the first time only, else null.
    const char* MarkGone();

    // The thread exit event: set by an aborted write or a lost device, never cleared. The event
    // wakes writers that wait for the line; exitSet answers CommExitEventIsSet and stands in for
    // the event when the system gave none.
    sorvel::WakeEvent exitEvent;
    std::atomic<bool> exitSet{false};
    // Set by CommClose: the device is let go, and a write still waiting on it returns.
    std::atomic<bool> closed{false};
    // The device is gone; its one message has been shown once goneReported is set.
    std::atomic<bool> gone{false};
    std::atomic<bool> goneReported{false};
    // Whole writes one at a time, so that a record never interleaves with another write.
    std::mutex writeMutex;
};

namespace comm {

// The open port a handle names; null for a null handle or one that CommClose has released, so
// that a late call with it does nothing instead of touching freed memory.
std::shared_ptr<CommPort> FindPort(HCOMM handle);

// Given by each backend: opens the device at path (name is what the caller asked for, for the
// failure's reason), claims it, configures it from g_dcbComm and readies it. Null when it cannot
// be opened, with the reason kept for CommLastOpenError.
std::shared_ptr<CommPort> OpenPort(const std::string& name, const std::string& path);

// Given by each backend: applies g_dcbComm and the fixed read time-outs to the port (CommSetState,
// and CommOpen before the port is published); shows a message for each part the port refuses.
void ApplyState(CommPort& port);

// Given by each backend: lets go of a port that CommClose has taken out of the registry, as
// CommClose says; port may be the last hold on it. Returns CommClose's result.
int ClosePort(std::shared_ptr<CommPort> port);

// Given by each backend: the system's part of CommWrite, for count > 0 bytes on a port that is
// neither closed nor known to be gone. Writes the bytes whole (one writer at a time), shows its
// messages once other writers may use the port again, and returns the number written.
int WritePort(CommPort& port, const char* buffer, int count);

} // namespace comm
