// The serial channel on Win32: a COM port opened for overlapped I/O.
//
// A port is a CommPort shared by its handle and by every thread that uses it. Every call on the
// port's handle happens inside a use of it (PortUse). CommClose marks the port closed, cancels
// whatever is still outstanding on it, waits for the uses under way to end and only then closes
// the handle: no request is ever started on a handle that was closed (its value may already name
// another object), no OVERLAPPED record is freed under a pending request, and the device is let
// go by the time CommClose returns.
//
// No request stays outstanding while the channel calls out: the reader retires its read and its
// line-event wait before it calls the receive or idle callback or shows a message, and a writer
// shows its messages after its request has ended. So a callback may stop the reader and close
// the port without waiting for itself.
#include "Comm.h"

#include "CommMessages.h"
#include "CommReader.h"

#include "MessageBox.h"
#include "PortNames.h"
#include "Program.h"
#include "StoppableThread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

DCB g_dcbComm{};

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using namespace comm;

constexpr DWORD kReadChunkBytes = 2048;
// Driver input and output queues, bytes.
constexpr DWORD kQueueBytes = 3000;
// Line events on which the reader clears the port's error state: CTS, DSR, RLSD, break, line
// error, ring (0x1F8). Received bytes come through the reader's own reads.
constexpr DWORD kLineEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
// The reader's wait: after this much silence it clears the line's error state.
constexpr std::chrono::milliseconds kReaderWait = 500ms;
// A request whose event could not be created is looked at this often, milliseconds.
constexpr DWORD kPollMs = 10;
// Without the stop's wake-up handle the reader looks for a stop this often, milliseconds.
constexpr DWORD kNoWakePollMs = 50;
// A read that ended without bytes is started again after this pause, not at once: a driver that
// keeps doing so must not turn the reader into a busy loop.
constexpr auto kEmptyReadPause = 10ms;
// CommClose cancels the requests outstanding on the port again at this interval until they have
// ended (a request may have been started just after a cancel) ...
constexpr auto kCloseCancelInterval = 10ms;
// ... and closes the handle after this long even if a driver never ends a cancelled request.
constexpr auto kCloseGrace = 2s;

// The driver has no such line or no line events (Wine on a pseudo-terminal, some USB
// adapters): not a failure.
bool NoSuchLine(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// A line-event wait that the driver cannot do. Wine answers a pseudo-terminal's wait either
// way, with "not supported" or with an abort at once.
bool NoLineEvents(DWORD error) {
    return NoSuchLine(error) || error == ERROR_OPERATION_ABORTED;
}

// ERROR_NO_SUCH_DEVICE, which the cross compiler's headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

// The device went away: the codes that Wine gives for a pseudo-terminal whose far end closed,
// and those that USB serial drivers give once their adapter was unplugged.
bool PortGoneError(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_NOT_READY:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

// Owns a kernel object handle; null means none (INVALID_HANDLE_VALUE is taken as none too).
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle)
        : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }

    HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // Closes the handle; false when the system refused.
    bool Close() {
        HANDLE handle = std::exchange(m_handle, nullptr);
        return handle == nullptr || ::CloseHandle(handle) != 0;
    }

private:
    HANDLE m_handle = nullptr;
};

// A manual-reset event, clear; none when the system has none to give.
UniqueHandle NewEvent() {
    return UniqueHandle(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

} // namespace

struct CommPort {
    CommPort(HANDLE port, std::string devicePath) : handle(port), path(std::move(devicePath)) {}
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    HANDLE Handle() const { return handle.Get(); }

    bool ExitEventSet() const { return exitSet.load(std::memory_order_acquire); }
    void SetExitEvent() {
        if (!exitSet.exchange(true, std::memory_order_acq_rel) && exitEvent)
            ::SetEvent(exitEvent.Get());
    }
    // The device is gone: nothing touches it again. Returns the message to show, the first
    // time only.
    const char* MarkGone() {
        gone = true;
        SetExitEvent();
        return goneReported.exchange(true) ? nullptr : kMsgWriteShort;
    }

    // A use of the handle begins; false once the port is closed.
    bool BeginUse() {
        std::lock_guard lock(useMutex);
        if (closed)
            return false;
        ++users;
        return true;
    }
    void EndUse() {
        std::lock_guard lock(useMutex);
        if (--users == 0)
            usersDone.notify_all();
    }

    // Closed by CommClose once no use is under way; by the destructor when no CommClose came.
    UniqueHandle handle;
    const std::string path;
    // The thread exit event: set by an aborted write or a lost device, never cleared. The event
    // wakes writers that wait for a pending request; exitSet answers CommExitEventIsSet and
    // stands in for the event when it could not be created.
    UniqueHandle exitEvent;
    std::atomic<bool> exitSet{false};
    // Set by CommClose, under useMutex, before it cancels what is outstanding.
    std::atomic<bool> closed{false};
    // The device is gone; its one message has been shown once goneReported is set.
    std::atomic<bool> gone{false};
    std::atomic<bool> goneReported{false};
    // Whole writes one at a time, so that a record never interleaves with another write.
    std::mutex writeMutex;
    // Uses of the handle under way (guarded by useMutex); CommClose waits for them to end.
    std::mutex useMutex;
    std::condition_variable usersDone;
    int users = 0;
};

namespace {

// A use of the port's handle for the length of a scope; false when the port is closed.
class PortUse {
public:
    explicit PortUse(CommPort& port) : m_port(port), m_active(port.BeginUse()) {}
    ~PortUse() {
        if (m_active)
            m_port.EndUse();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;
    explicit operator bool() const { return m_active; }

private:
    CommPort& m_port;
    const bool m_active;
};

// Open ports by handle. A handle that CommClose has released is no longer found, so a late
// call with it does nothing instead of touching freed memory.
std::mutex g_portsMutex;
std::map<CommPort*, std::shared_ptr<CommPort>>& Ports() {
    static auto* ports = new std::map<CommPort*, std::shared_ptr<CommPort>>;
    return *ports;
}

std::shared_ptr<CommPort> FindPort(HCOMM handle) {
    if (handle == nullptr)
        return nullptr;
    std::lock_guard lock(g_portsMutex);
    auto it = Ports().find(handle);
    return it == Ports().end() ? nullptr : it->second;
}

std::string OpenFailureText(const std::string& name, DWORD error) {
    std::string text = name + ": " + sorvel::Win32ErrorText(error);
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // What a COM port that another program holds answers.
        text += " (is another program using the port?)";
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        text += " (is the adapter plugged in?)";
        break;
    default:
        break;
    }
    return text;
}

// Waits until a request has ended (at once after a cancel) and returns its error, 0 when it
// succeeded; count gets the bytes it moved, also when it failed or was cancelled.
DWORD FinishRequest(HANDLE port, OVERLAPPED& request, DWORD& count) {
    // Without an event of its own, GetOverlappedResult would wait on the port handle, which
    // any other request on the port signals as well.
    while (request.hEvent == nullptr && !HasOverlappedIoCompleted(&request))
        ::Sleep(1);
    count = 0;
    if (::GetOverlappedResult(port, &request, &count, request.hEvent != nullptr))
        return 0;
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// Cancels a request and waits until the system is done with its record and buffer.
DWORD CancelRequest(HANDLE port, OVERLAPPED& request, DWORD& count) {
    // ERROR_NOT_FOUND when the request has just ended by itself: its result is fetched all the
    // same.
    ::CancelIoEx(port, &request);
    return FinishRequest(port, request, count);
}

// Milliseconds from now until when, rounded up so that a wait never ends before it; 0 when
// when has passed.
DWORD MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now)
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

// Waits for handles, or sleeps when there are none; the result of WaitForMultipleObjects.
DWORD WaitForAny(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
    if (count > 0)
        return ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    ::Sleep(timeoutMs);
    return WAIT_TIMEOUT;
}

enum class ClearResult { Done, Gone, Failed };

// Fetches and resets the port's error flags; queued, when given, gets the number of bytes
// waiting in the driver's input queue.
ClearResult ClearErrors(CommPort& port, DWORD* queued = nullptr) {
    PortUse use(port);
    if (!use)
        return ClearResult::Done;
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(port.Handle(), &errors, &status)) {
        if (queued != nullptr)
            *queued = status.cbInQue;
        return ClearResult::Done;
    }
    const DWORD error = ::GetLastError();
    if (NoSuchLine(error))
        return ClearResult::Done;
    return PortGoneError(error) ? ClearResult::Gone : ClearResult::Failed;
}

// Applies g_dcbComm and the fixed time-outs; shows a message for each part the port refuses.
void ApplyState(CommPort& port) {
    bool stateOk = true;
    bool timeoutsOk = true;
    {
        PortUse use(port);
        if (!use)
            return;
        DCB dcb = g_dcbComm;
        stateOk = ::SetCommState(port.Handle(), &dcb) != 0;
        // Wait without limit for the first byte, then hand on what has come once the line has
        // been idle for more than 1 ms; never time out a write.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 1;
        timeoutsOk = ::SetCommTimeouts(port.Handle(), &timeouts) != 0;
    }
    if (!stateOk)
        CommMessage(kMsgSetState);
    if (!timeoutsOk)
        CommMessage(kMsgSetTimeouts);
}

} // namespace

std::string CommDevicePath(const std::string& portName) {
    return sorvel::ComPortDevicePath(portName);
}

int CommCheckPlatform() {
    // Win32s cannot run the channel. Every other family runs it, always with overlapped writes:
    // stopping a write that waits needs CancelIoEx, which only the NT family has, and nothing
    // older than it runs this program.
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!::GetVersionExA(&version))
        return 0;
    return version.dwPlatformId == VER_PLATFORM_WIN32s ? 0 : 1;
}

HCOMM CommOpen(const char* portName, void* /*owner*/) {
    SetLastOpenError({});
    if (CommCheckPlatform() == 0)
        return nullptr;
    TakeProgramCaption();
    const std::string name = portName ? portName : "";
    const std::string path = CommDevicePath(name);

    // No sharing: a second program, or a second connection of this one, cannot open the port.
    HANDLE opened =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        SetLastOpenError(OpenFailureText(name, ::GetLastError()));
        return nullptr;
    }
    auto port = std::make_shared<CommPort>(opened, path);
    port->exitEvent = NewEvent();
    if (!port->exitEvent)
        CommMessage(kMsgExitEvent);

    COMMTIMEOUTS current{};
    if (!::GetCommTimeouts(port->Handle(), &current))
        CommMessage(kMsgGetTimeouts);

    ApplyState(*port);
    // A driver that keeps queues of its own size is as good: the result is not needed.
    ::SetupComm(port->Handle(), kQueueBytes, kQueueBytes);
    if (!::EscapeCommFunction(port->Handle(), SETDTR)) {
        const DWORD error = ::GetLastError();
        if (!NoSuchLine(error))
            CommMessage(kMsgPortReady);
    }
    // Published only now: no other thread sees a port that is still being set up.
    HCOMM handle = port.get();
    std::lock_guard lock(g_portsMutex);
    Ports()[handle] = std::move(port);
    return handle;
}

int CommSetState(HCOMM handle) {
    if (auto port = FindPort(handle))
        ApplyState(*port);
    return 1;
}

int CommClose(HCOMM handle) {
    std::shared_ptr<CommPort> port;
    {
        std::lock_guard lock(g_portsMutex);
        auto it = Ports().find(handle);
        if (it == Ports().end())
            return 0;
        port = std::move(it->second);
        Ports().erase(it);
    }
    {
        std::unique_lock lock(port->useMutex);
        port->closed = true;
        // Each use ends soon once its request is cancelled: a write waiting for the line, or a
        // reader that was not stopped first.
        const auto giveUp = Clock::now() + kCloseGrace;
        while (port->users > 0 && Clock::now() < giveUp) {
            lock.unlock();
            ::CancelIoEx(port->Handle(), nullptr);
            lock.lock();
            port->usersDone.wait_for(lock, kCloseCancelInterval, [&] { return port->users == 0; });
        }
    }
    return port->handle.Close() ? 1 : 0;
}

bool CommExitEventIsSet(HCOMM handle) {
    auto port = FindPort(handle);
    return port && port->ExitEventSet();
}

int CommOutputQueued(HCOMM handle) {
    auto port = FindPort(handle);
    if (!port || port->gone)
        return -1;
    PortUse use(*port);
    if (!use)
        return -1;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port->Handle(), &errors, &status))
        return -1;
    return static_cast<int>(std::min<DWORD>(status.cbOutQue, INT_MAX));
}

// ---- Writer ----

namespace {

enum class WriteWait { Done, Abandoned, Failed };

// Waits for a pending write to end, or for the port's exit event or its closing; when both
// come, the write's end counts.
WriteWait AwaitWrite(CommPort& port, const OVERLAPPED& request) {
    HANDLE handles[2];
    DWORD count = 0;
    if (request.hEvent != nullptr)
        handles[count++] = request.hEvent;
    if (port.exitEvent)
        handles[count++] = port.exitEvent.Get();
    // Without both events, what is missing is looked at in turns.
    const DWORD timeout = count == 2 ? INFINITE : kPollMs;
    for (;;) {
        if (HasOverlappedIoCompleted(&request))
            return WriteWait::Done;
        if (port.ExitEventSet() || port.closed)
            return WriteWait::Abandoned;
        if (WaitForAny(handles, count, timeout) == WAIT_FAILED)
            return WriteWait::Failed;
    }
}

int CommWriteOverlapped(const std::shared_ptr<CommPort>& port, const char* buffer, int count) {
    if (port->closed)
        return 0;
    if (port->gone) {
        // The reader found the device gone first: the first write tells the user, once.
        if (const char* message = port->MarkGone())
            CommMessage(message);
        return 0;
    }
    // Created before the port is taken: its message must not hold up other writers.
    UniqueHandle event = NewEvent();
    if (!event)
        CommMessage(kMsgWriteEvent);

    const DWORD wanted = static_cast<DWORD>(count);
    DWORD written = 0;
    const char* message = nullptr;
    const char* message2 = nullptr;
    {
        std::lock_guard lock(port->writeMutex);
        PortUse use(*port);
        if (!use)
            return 0;
        const HANDLE handle = port->Handle();
        OVERLAPPED request{};
        request.hEvent = event.Get();
        if (::WriteFile(handle, buffer, wanted, nullptr, &request)) {
            // Done at once (Wine does so with small writes).
            FinishRequest(handle, request, written);
            if (written != wanted)
                port->SetExitEvent();
        } else if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            message = PortGoneError(error) ? port->MarkGone() : kMsgWriteStart;
        } else {
            switch (AwaitWrite(*port, request)) {
            case WriteWait::Done: {
                const DWORD result = FinishRequest(handle, request, written);
                if (port->closed) {
                    // Cancelled by CommClose: the connection is over, nobody is to be told.
                    port->SetExitEvent();
                } else if (result == ERROR_OPERATION_ABORTED) {
                    port->SetExitEvent();
                    if (written != wanted && !port->goneReported.exchange(true))
                        message = kMsgWriteShort;
                } else if (result != 0 && PortGoneError(result)) {
                    message = port->MarkGone();
                } else {
                    if (result != 0)
                        message = kMsgWriteResult;
                    if (written != wanted)
                        message2 = kMsgWriteShort;
                }
                break;
            }
            case WriteWait::Abandoned:
                // The exit event is set or the port closed: the bytes are not waited for. The
                // request ends here, so that its record never outlives this call.
                CancelRequest(handle, request, written);
                port->SetExitEvent();
                break;
            case WriteWait::Failed:
                message = kMsgWriteWait;
                CancelRequest(handle, request, written);
                break;
            }
        }
    }
    // Messages are shown after the port is free for other writers: a box may block for long.
    if (message)
        CommMessage(message);
    if (message2)
        CommMessage(message2);
    return static_cast<int>(written);
}

} // namespace

int CommWrite(HCOMM handle, const char* buffer, int count) {
    if (buffer == nullptr || count <= 0)
        return 0;
    auto port = FindPort(handle);
    if (!port)
        return 0;
    return CommWriteOverlapped(port, buffer, count);
}

// ---- Reader ----

namespace {

// The reader's own state: what it calls, and the time its owner asked to be called at
// (CommReaderWakeAt). Touched only by the reader thread.
using comm::ReaderLocal;

// Shows a channel message on the reader thread, as a call-out: a stop request from another
// thread does not wait for the person in front of the box. False when the reader must stop.
bool ReaderMessage(sorvel::StopContext& context, const char* text, unsigned style = MB_ICONERROR) {
    return context.CallOut([text, style] { CommMessage(text, style); });
}

// Waits until a stop is asked for, or for at most timeoutMs (INFINITE: without limit). On the
// wake-up handle, like the reader's other waits: the stop facility's own condition-variable
// wait was seen to miss a stop now and then under Wine.
void WaitForStopAtMost(sorvel::StopContext& context, DWORD timeoutMs) {
    const sorvel::WaitHandle wake = context.WakeFd();
    if (wake != sorvel::kNoWaitHandle) {
        ::WaitForSingleObject(wake, timeoutMs);
        return;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!context.StopRequested() && (timeoutMs == INFINITE || Clock::now() < end))
        ::Sleep(kNoWakePollMs);
}

// The reader's requests and their records; on the reader's stack. Between two waits nothing is
// outstanding.
struct ReaderIo {
    char* buffer = nullptr;
    HANDLE readEvent = nullptr;
    HANDLE lineEvent = nullptr;
    OVERLAPPED read{};
    bool readPending = false;
    OVERLAPPED lineWait{};
    DWORD lineEvents = 0;
    bool linePending = false;
    // False once the driver has answered that it has no line events.
    bool lineEventsWork = true;
};

enum class WaitEnd { Bytes, Quiet, Stop, Gone, WaitFailed };

struct WaitResult {
    WaitEnd end = WaitEnd::Quiet;
    // Bytes read into the buffer, to hand over before anything else is done.
    DWORD bytes = 0;
    bool lineWaitFailed = false;
    bool clearFailed = false;
};

// One wait of the reader, with its port in use: keeps a read and a line-event wait outstanding
// and returns when bytes came, when the reader's usual quiet time or its owner's time is up,
// when a stop was asked for, the port closed or lost, or the wait failed. Line events clear the
// error state on the way. Every request is retired before it returns; a read that the end of
// the wait cancelled hands over what it had received.
WaitResult ReaderWait(sorvel::StopContext& context, const ReaderLocal& local, CommPort& port,
                      ReaderIo& io) {
    WaitResult result;
    PortUse use(port);
    if (!use) {
        result.end = WaitEnd::Stop;
        return result;
    }
    const HANDLE handle = port.Handle();
    const sorvel::WaitHandle wake = context.WakeFd();
    Clock::time_point now = Clock::now();
    Clock::time_point end = now + kReaderWait;
    if (local.wakeAtSet && local.wakeAt < end)
        end = std::max(local.wakeAt, now);
    Clock::time_point readAt = now;
    // One line-event wait per wait at most: a driver that ends them at once cannot make the
    // reader spin.
    bool lineWaitStarted = false;
    auto onLineEvent = [&] {
        switch (ClearErrors(port)) {
        case ClearResult::Done:
            return true;
        case ClearResult::Failed:
            result.clearFailed = true;
            return true;
        case ClearResult::Gone:
            result.end = WaitEnd::Gone;
            return false;
        }
        return true;
    };

    for (;;) {
        if (context.StopRequested() || port.closed) {
            result.end = WaitEnd::Stop;
            break;
        }
        now = Clock::now();
        if (!io.readPending && now >= readAt) {
            io.read = OVERLAPPED{};
            io.read.hEvent = io.readEvent;
            if (::ReadFile(handle, io.buffer, kReadChunkBytes, nullptr, &io.read)) {
                FinishRequest(handle, io.read, result.bytes);
                if (result.bytes > 0) {
                    result.end = WaitEnd::Bytes;
                    break;
                }
                readAt = now + kEmptyReadPause;
            } else if (::GetLastError() == ERROR_IO_PENDING) {
                io.readPending = true;
            } else {
                result.end = WaitEnd::Gone;
                break;
            }
        }
        if (io.lineEventsWork && !io.linePending && !lineWaitStarted) {
            lineWaitStarted = true;
            io.lineWait = OVERLAPPED{};
            io.lineWait.hEvent = io.lineEvent;
            io.lineEvents = 0;
            if (io.lineEvent != nullptr)
                ::ResetEvent(io.lineEvent);
            if (::WaitCommEvent(handle, &io.lineEvents, &io.lineWait)) {
                // An event was there already.
                if (!onLineEvent())
                    break;
            } else if (const DWORD error = ::GetLastError(); error == ERROR_IO_PENDING) {
                io.linePending = true;
            } else if (NoLineEvents(error)) {
                io.lineEventsWork = false;
            } else {
                result.lineWaitFailed = true;
            }
        }

        HANDLE handles[3];
        DWORD count = 0;
        bool polled = false;
        if (io.readPending) {
            if (io.readEvent != nullptr)
                handles[count++] = io.readEvent;
            else
                polled = true;
        }
        if (io.linePending) {
            if (io.lineEvent != nullptr)
                handles[count++] = io.lineEvent;
            else
                polled = true;
        }
        if (wake != sorvel::kNoWaitHandle)
            handles[count++] = wake;
        DWORD timeout = MillisecondsUntil(io.readPending ? end : std::min(end, readAt), now);
        if (polled)
            timeout = std::min(timeout, kPollMs);
        if (wake == sorvel::kNoWaitHandle)
            timeout = std::min(timeout, kNoWakePollMs);
        if (WaitForAny(handles, count, timeout) == WAIT_FAILED) {
            result.end = WaitEnd::WaitFailed;
            break;
        }
        // A stop or CommClose first: the requests that they cancelled did not fail.
        if (context.StopRequested() || port.closed) {
            result.end = WaitEnd::Stop;
            break;
        }
        if (io.readPending && HasOverlappedIoCompleted(&io.read)) {
            io.readPending = false;
            const DWORD error = FinishRequest(handle, io.read, result.bytes);
            if (result.bytes > 0) {
                result.end = WaitEnd::Bytes;
                break;
            }
            if (error != 0) {
                // Any failure of a read that nobody cancelled: the device is gone.
                result.end = WaitEnd::Gone;
                break;
            }
            readAt = Clock::now() + kEmptyReadPause;
        }
        if (io.linePending && HasOverlappedIoCompleted(&io.lineWait)) {
            io.linePending = false;
            DWORD unused = 0;
            const DWORD error = FinishRequest(handle, io.lineWait, unused);
            if (error == 0) {
                if (!onLineEvent())
                    break;
            } else if (NoLineEvents(error)) {
                io.lineEventsWork = false;
            }
            // Any other failure drops the wait; the next wait starts another.
        }
        if (Clock::now() >= end)
            break; // quiet
    }

    if (io.readPending) {
        io.readPending = false;
        DWORD got = 0;
        const DWORD error = CancelRequest(handle, io.read, got);
        if (result.end != WaitEnd::Stop && got > 0) {
            // Bytes that had come when the wait ended are handed over before anything else.
            result.bytes = got;
            if (result.end == WaitEnd::Quiet)
                result.end = WaitEnd::Bytes;
        } else if (error != 0 && error != ERROR_OPERATION_ABORTED && result.end == WaitEnd::Quiet) {
            result.end = WaitEnd::Gone;
        }
    }
    if (io.linePending) {
        io.linePending = false;
        DWORD unused = 0;
        CancelRequest(handle, io.lineWait, unused);
    }
    return result;
}

void CommReaderThread(sorvel::StopContext& context, ReaderLocal& local,
                      std::shared_ptr<CommPort> port) {
    char buffer[kReadChunkBytes];
    const UniqueHandle readEvent = NewEvent();
    if (!readEvent || context.WakeFd() == sorvel::kNoWaitHandle)
        ReaderMessage(context, kMsgReaderEvent, MB_OK);
    const UniqueHandle lineEvent = NewEvent();
    if (!lineEvent)
        ReaderMessage(context, kMsgStatusEvent);
    ReaderIo io;
    io.buffer = buffer;
    io.readEvent = readEvent.Get();
    io.lineEvent = lineEvent.Get();

    DWORD maskError = 0;
    {
        PortUse use(*port);
        if (use && !::SetCommMask(port->Handle(), kLineEventMask))
            maskError = ::GetLastError();
    }
    if (maskError != 0) {
        if (NoSuchLine(maskError))
            io.lineEventsWork = false;
        else
            ReaderMessage(context, kMsgCommMask);
    }
    bool portUsable = !port->gone;
    if (portUsable) {
        const ClearResult cleared = ClearErrors(*port);
        if (cleared == ClearResult::Gone)
            portUsable = false;
        else if (cleared == ClearResult::Failed)
            ReaderMessage(context, kMsgClearErrors);
    }
    bool goneTold = false;
    // An idle call held back once because bytes were waiting in the driver's queue.
    bool idleHeldBack = false;
    while (!context.StopRequested()) {
        if (!portUsable || port->closed) {
            // The owner hears of the loss once; then the device, gone or closed under us, is
            // never touched again and the reader waits to be told to stop.
            if (!portUsable && !port->closed && !goneTold && local.idle != nullptr) {
                goneTold = true;
                if (!context.CallOut([&] { local.idle(COMM_IDLE_PORT_GONE); }))
                    break;
            }
            WaitForStopAtMost(context, INFINITE);
            break;
        }
        const WaitResult wait = ReaderWait(context, local, *port, io);
        if (wait.bytes > 0) {
            idleHeldBack = false;
            if (!context.CallOut([&] { local.receiver(buffer, static_cast<int>(wait.bytes)); }))
                break;
        }
        if (wait.lineWaitFailed && !ReaderMessage(context, kMsgCommWait))
            break;
        if (wait.clearFailed && !ReaderMessage(context, kMsgClearErrors))
            break;
        if (wait.end == WaitEnd::Gone) {
            // No message: the reader stops touching the port rather than spin; the first write
            // tells the user.
            portUsable = false;
            port->gone = true;
            port->SetExitEvent();
        } else if (wait.end == WaitEnd::WaitFailed) {
            if (!ReaderMessage(context, kMsgReaderWait))
                break;
            // Whatever made the wait fail, the next try comes after a pause, not at once.
            WaitForStopAtMost(context, static_cast<DWORD>(kReaderWait.count()));
        } else if (wait.end == WaitEnd::Quiet) {
            DWORD queued = 0;
            const ClearResult cleared = ClearErrors(*port, &queued);
            if (cleared == ClearResult::Gone) {
                portUsable = false;
                port->gone = true;
                port->SetExitEvent();
                continue;
            }
            if (cleared == ClearResult::Failed && !ReaderMessage(context, kMsgClearErrors))
                break;
            // Bytes that reached the driver as the wait ended are read before the owner hears
            // of a quiet line. Once only: a driver whose count never empties still gets its
            // idle calls.
            if (queued > 0 && !idleHeldBack) {
                idleHeldBack = true;
                continue;
            }
            idleHeldBack = false;
            if (local.wakeAtSet && Clock::now() >= local.wakeAt)
                local.wakeAtSet = false;
            if (local.idle != nullptr && !context.CallOut([&] { local.idle(COMM_IDLE_QUIET); }))
                break;
        }
    }
    // Let go of the port before the thread counts as ended: a CommClose right after
    // CommStopReader then finds nobody else holding it.
    port.reset();
}

} // namespace

HCOMMREADER CommStartReader(HCOMM handle, CommReceiveProc receiver, CommIdleProc idle) {
    auto port = FindPort(handle);
    if (!port || receiver == nullptr) {
        CommMessage(kMsgReadThread);
        return nullptr;
    }
    // The purge happens here rather than on the new thread, so that every byte the box sends
    // after this call returns is delivered, and none from before it.
    if (!port->gone) {
        PortUse use(*port);
        if (use) {
            ::PurgeComm(port->Handle(), PURGE_TXCLEAR | PURGE_RXCLEAR);
            ::SetupComm(port->Handle(), kQueueBytes, kQueueBytes);
        }
    }
    // The thread's body hands its hold on the port to the loop, which lets go of it before the
    // thread counts as ended.
    HCOMMREADER reader = comm::StartReaderThread(
        receiver, idle,
        [port = std::move(port)](sorvel::StopContext& context, ReaderLocal& local) mutable {
            CommReaderThread(context, local, std::move(port));
        });
    if (reader == nullptr)
        CommMessage(kMsgReadThread);
    return reader;
}
