#include "CommReader.h"

#include "CommMessages.h"
#include "CommPorts.h"

#include <memory>
#include <utility>

struct CommReader {
    sorvel::StoppableThread thread;
};

namespace comm {
namespace {

// The reader that runs on this thread, for CommReaderStopRequested and CommReaderWakeAt.
thread_local ReaderLocal* t_reader = nullptr;

} // namespace

HCOMMREADER StartReaderThread(CommReceiveProc receiver, CommIdleProc idle, ReaderBody body) {
    auto reader = std::make_unique<CommReader>();
    ReaderLocal local;
    local.receiver = receiver;
    local.idle = idle;
    const bool started =
        reader->thread.Start([local, body = std::move(body)](sorvel::StopContext& context) mutable {
            local.context = &context;
            t_reader = &local;
            body(context, local);
            t_reader = nullptr;
        });
    return started ? reader.release() : nullptr;
}

bool ReaderMessage(sorvel::StopContext& context, const char* text, unsigned style) {
    return context.CallOut([text, style] { CommMessage(text, style); });
}

bool TellIdle(sorvel::StopContext& context, const ReaderLocal& local, CommIdleEvent event) {
    return local.idle == nullptr || context.CallOut([&] { local.idle(event); });
}

bool TellQuiet(sorvel::StopContext& context, ReaderLocal& local) {
    if (local.wakeAtSet && std::chrono::steady_clock::now() >= local.wakeAt)
        local.wakeAtSet = false;
    return TellIdle(context, local, COMM_IDLE_QUIET);
}

} // namespace comm

HCOMMREADER CommStartReader(HCOMM handle, CommReceiveProc receiver, CommIdleProc idle) {
    auto port = comm::FindPort(handle);
    if (!port || receiver == nullptr) {
        comm::CommMessage(comm::kMsgReadThread);
        return nullptr;
    }
    // Done here rather than on the new thread, so that the reader misses nothing sent after
    // this call returns.
    if (!port->gone)
        comm::PrepareReaderStart(*port);
    // The thread's body hands its hold on the port to the backend's loop, which lets go of it
    // before the thread counts as ended.
    HCOMMREADER reader = comm::StartReaderThread(
        receiver, idle,
        [port = std::move(port)](sorvel::StopContext& context, comm::ReaderLocal& local) mutable {
            comm::RunReader(context, local, std::move(port));
        });
    if (reader == nullptr)
        comm::CommMessage(comm::kMsgReadThread);
    return reader;
}

bool CommReaderStopRequested() {
    return comm::t_reader != nullptr && comm::t_reader->context->StopRequested();
}

void CommReaderWakeAt(std::chrono::steady_clock::time_point when) {
    if (comm::t_reader == nullptr)
        return;
    comm::t_reader->wakeAt = when;
    comm::t_reader->wakeAtSet = true;
}

int CommStopReader(HCOMMREADER reader) {
    if (reader == nullptr)
        return 1;
    // From inside the callback the reader is this thread: it ends when the callback returns.
    // From elsewhere the stop waits until the reader has left its wait (on Windows: its requests
    // cancelled and ended), but not for a callback or a message box in progress, which may be
    // blocked on a person.
    reader->thread.Stop();
    delete reader;
    return 1;
}
