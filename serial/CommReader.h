// What the serial channel's backends share of the reader thread: CommStartReader and
// CommStopReader, the bookkeeping behind the calls that the receive and idle callbacks make on it
// (CommReaderStopRequested, CommReaderWakeAt), and the reader's call-outs (messages, idle
// calls). Each backend gives the thread's body, which waits on its port in the system's way.
// Internal to the channel.
#pragma once

#include "Comm.h"
#include "MessageBox.h"
#include "StoppableThread.h"

#include <chrono>
#include <functional>
#include <memory>

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

// The reader's call-outs: a stop request from another thread does not wait for them, as they
// may wait for a person. Each returns false when the reader must stop.
//
// Shows a channel message on the reader thread.
bool ReaderMessage(sorvel::StopContext& context, const char* text, unsigned style = MB_ICONERROR);
// Tells the owner of event through its idle callback, when it gave one.
bool TellIdle(sorvel::StopContext& context, const ReaderLocal& local, CommIdleEvent event);
// A wait ended with nothing received: forgets the owner's wake-up time once it has passed, and
// tells the owner that the line is quiet.
bool TellQuiet(sorvel::StopContext& context, ReaderLocal& local);

// Given by each backend: readies the port for a new reader, on the thread that calls
// CommStartReader, so that every byte the box sends after that call returns is delivered, and
// none from before it. Not called for a port known to be gone.
void PrepareReaderStart(CommPort& port);
// Given by each backend: the reader thread's body. It lets go of port before it returns, so
// that a CommClose right after CommStopReader finds nobody else holding it.
void RunReader(sorvel::StopContext& context, ReaderLocal& local, std::shared_ptr<CommPort> port);

} // namespace comm
