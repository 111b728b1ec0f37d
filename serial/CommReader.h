// What the serial channel's backends share of the reader thread: its start and stop, and the
// bookkeeping behind the calls that the receive and idle callbacks make on it
// (CommReaderStopRequested, CommReaderWakeAt). Each backend gives the thread's body, which waits
// on its port in the system's way. Internal to the channel.
#pragma once

#include "Comm.h"
#include "StoppableThread.h"

#include <chrono>
#include <functional>

namespace comm {

// The reader's own state, touched on its thread only.
struct ReaderLocal {
    sorvel::StopContext* context = nullptr;
    CommReceiveProc receiver = nullptr;
    CommIdleProc idle = nullptr;
    // A time the owner asked to be called at (CommReaderWakeAt), while wakeAtSet.
    std::chrono::steady_clock::time_point wakeAt{};
    bool wakeAtSet = false;
};

using ReaderBody = std::function<void(sorvel::StopContext&, ReaderLocal&)>;

// Starts a reader thread that runs body; while it runs, its ReaderLocal is the one the
// callbacks' calls on that thread reach. Null when the system gave no thread.
HCOMMREADER StartReaderThread(CommReceiveProc receiver, CommIdleProc idle, ReaderBody body);

} // namespace comm
