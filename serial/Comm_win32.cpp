// The serial channel on Win32: a COM port opened for overlapped I/O.
//
// A port is a Win32Port shared by its handle and by every thread that uses it. Every call on the
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
#include "CommPorts.h"
#include "CommReader.h"

#include "MessageBox.h"
#include "PortNames.h"
#include "Program.h"
#include "StoppableThread.h"
#include "WakeEvent.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
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

struct Win32Port final : CommPort {
    explicit Win32Port(HANDLE port) : handle(port) {}

    HANDLE Handle() const { return handle.Get(); }

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
    // Uses of the handle under way (guarded by useMutex); CommClose sets closed under it and
    // waits for them to end.
    std::mutex useMutex;
    std::condition_variable usersDone;
    int users = 0;
};

// Every port of this process is a Win32Port.
Win32Port& Win32(CommPort& port) {
    return static_cast<Win32Port&>(port);
}

// A use of the port's handle for the length of a scope; false when the port is closed.
class PortUse {
public:
    explicit PortUse(Win32Port& port) : m_port(port), m_active(port.BeginUse()) {}
    ~PortUse() {
        if (m_active)
            m_port.EndUse();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;
    explicit operator bool() const { return m_active; }

private:
    Win32Port& m_port;
    const bool m_active;
};

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

int OpenFailureKind(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A COM port is opened by one program at a time: what another program's hold answers.
        return COMM_OPEN_HELD;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
        return COMM_OPEN_MISSING;
    default:
        return COMM_OPEN_OTHER;
    }
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
ClearResult ClearErrors(Win32Port& port, DWORD* queued = nullptr) {
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

} // namespace

void comm::ApplyState(CommPort& base) {
    Win32Port& port = Win32(base);
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

// "COM1:COM97", "com1.txt", "COM2 x": Windows opens such a name as the device COMn, another
// port than the one written. The name as written is no COM name (those have become \\.\COMn).
bool NamesAnotherComPort(const std::string& path) {
    if (path.size() < 5 || sorvel::ComPortNumber(path) != 0)
        return false;
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    if (lower(path[0]) != 'c' || lower(path[1]) != 'o' || lower(path[2]) != 'm')
        return false;
    std::size_t i = 3;
    while (i < path.size() && path[i] >= '0' && path[i] <= '9')
        ++i;
    return i > 3 && i < path.size() && (path[i] == ':' || path[i] == '.' || path[i] == ' ');
}

std::shared_ptr<CommPort> comm::OpenPort(const std::string& name, const std::string& path) {
    if (NamesAnotherComPort(path)) {
        SetLastOpenError(name + ": not a port name (a COM port is written COM3 or COM3:)",
                         COMM_OPEN_MISSING);
        return nullptr;
    }
    // No sharing: a second program, or a second connection of this one, cannot open the port.
    HANDLE opened =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        SetLastOpenError(OpenFailureText(name, error), OpenFailureKind(error));
        return nullptr;
    }
    auto port = std::make_shared<Win32Port>(opened);
    if (port->exitEvent.Handle() == sorvel::kNoWaitHandle)
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
    return port;
}

int comm::ClosePort(std::shared_ptr<CommPort> held) {
    Win32Port& port = Win32(*held);
    {
        std::unique_lock lock(port.useMutex);
        port.closed = true;
        // Each use ends soon once its request is cancelled: a write waiting for the line, or a
        // reader that was not stopped first.
        const auto giveUp = Clock::now() + kCloseGrace;
        while (port.users > 0 && Clock::now() < giveUp) {
            lock.unlock();
            ::CancelIoEx(port.Handle(), nullptr);
            lock.lock();
            port.usersDone.wait_for(lock, kCloseCancelInterval, [&] { return port.users == 0; });
        }
    }
    return port.handle.Close() ? 1 : 0;
}

// ---- Writer ----

namespace {

enum class WriteWait { Done, Abandoned, Failed };

// Waits for a pending write to end, or for the port's exit event or its closing; when both
// come, the write's end counts.
WriteWait AwaitWrite(Win32Port& port, const OVERLAPPED& request) {
    HANDLE handles[2];
    DWORD count = 0;
    if (request.hEvent != nullptr)
        handles[count++] = request.hEvent;
    if (port.exitEvent.Handle() != sorvel::kNoWaitHandle)
        handles[count++] = port.exitEvent.Handle();
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

} // namespace

// One overlapped write, waited for until it ends, the exit event is set or the port is closed.
int comm::WritePort(CommPort& base, const char* buffer, int count) {
    Win32Port& port = Win32(base);
    // Created before the port is taken: its message must not hold up other writers.
    UniqueHandle event = NewEvent();
    if (!event)
        CommMessage(kMsgWriteEvent);

    const DWORD wanted = static_cast<DWORD>(count);
    DWORD written = 0;
    const char* message = nullptr;
    const char* message2 = nullptr;
    {
        std::lock_guard lock(port.writeMutex);
        PortUse use(port);
        if (!use)
            return 0;
        const HANDLE handle = port.Handle();
        OVERLAPPED request{};
        request.hEvent = event.Get();
        if (::WriteFile(handle, buffer, wanted, nullptr, &request)) {
            // Done at once (Wine does so with small writes).
            FinishRequest(handle, request, written);
            if (written != wanted)
                port.SetExitEvent();
        } else if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            message = PortGoneError(error) ? port.MarkGone() : kMsgWriteStart;
        } else {
            switch (AwaitWrite(port, request)) {
            case WriteWait::Done: {
                const DWORD result = FinishRequest(handle, request, written);
                if (port.closed) {
                    // Cancelled by CommClose: the connection is over, nobody is to be told.
                    port.SetExitEvent();
                } else if (result == ERROR_OPERATION_ABORTED) {
                    port.SetExitEvent();
                    if (written != wanted && !port.goneReported.exchange(true))
                        message = kMsgWriteShort;
                } else if (result != 0 && PortGoneError(result)) {
                    message = port.MarkGone();
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
                port.SetExitEvent();
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

// ---- Reader ----

namespace {

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

// The reader's requests, their records and events; on the reader's stack. Between two waits
// nothing is outstanding.
struct ReaderIo {
    char buffer[kReadChunkBytes];
    // Null when the system gave none: the request is then looked at every kPollMs.
    UniqueHandle readEvent;
    UniqueHandle lineEvent;
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
// and ends when bytes came, when the reader's usual quiet time or its owner's time is up, when a
// stop was asked for, the port closed or lost, or the wait failed. Line events clear the error
// state on the way. Every request is retired before Run returns; a read that the end of the wait
// cancelled hands over what it had received.
class ReaderWait {
public:
    ReaderWait(sorvel::StopContext& context, const ReaderLocal& local, Win32Port& port,
               ReaderIo& io)
        : m_context(context), m_port(port), m_io(io), m_handle(port.Handle()),
          m_wake(context.WakeFd()), m_now(Clock::now()), m_end(m_now + kReaderWait),
          m_readAt(m_now) {
        if (local.wakeAtSet && local.wakeAt < m_end)
            m_end = std::max(local.wakeAt, m_now);
    }

    WaitResult Run() {
        while (Turn()) {
        }
        RetireRequests();
        return m_result;
    }

private:
    // Each step below returns false when the wait is over; m_result.end says how.

    // Starts what is due, sleeps until something ends, and collects it.
    bool Turn() {
        if (Stopped())
            return false;
        m_now = Clock::now();
        if (!m_io.readPending && m_now >= m_readAt && !StartRead())
            return false;
        // One line-event wait per wait at most: a driver that ends them at once cannot make the
        // reader spin.
        if (m_io.lineEventsWork && !m_io.linePending && !m_lineWaitStarted && !StartLineWait())
            return false;
        if (!Sleep())
            return false;
        // A stop or CommClose first: the requests that they cancelled did not fail.
        if (Stopped())
            return false;
        if (m_io.readPending && HasOverlappedIoCompleted(&m_io.read) && !CollectRead())
            return false;
        if (m_io.linePending && HasOverlappedIoCompleted(&m_io.lineWait) && !CollectLineWait())
            return false;
        return Clock::now() < m_end; // past the end: a quiet wait
    }

    bool Stopped() {
        if (!m_context.StopRequested() && !m_port.closed)
            return false;
        m_result.end = WaitEnd::Stop;
        return true;
    }

    bool StartRead() {
        m_io.read = OVERLAPPED{};
        m_io.read.hEvent = m_io.readEvent.Get();
        if (::ReadFile(m_handle, m_io.buffer, kReadChunkBytes, nullptr, &m_io.read)) {
            FinishRequest(m_handle, m_io.read, m_result.bytes);
            if (m_result.bytes > 0) {
                m_result.end = WaitEnd::Bytes;
                return false;
            }
            m_readAt = m_now + kEmptyReadPause;
            return true;
        }
        if (::GetLastError() == ERROR_IO_PENDING) {
            m_io.readPending = true;
            return true;
        }
        m_result.end = WaitEnd::Gone;
        return false;
    }

    bool StartLineWait() {
        m_lineWaitStarted = true;
        m_io.lineWait = OVERLAPPED{};
        m_io.lineWait.hEvent = m_io.lineEvent.Get();
        m_io.lineEvents = 0;
        if (m_io.lineEvent)
            ::ResetEvent(m_io.lineEvent.Get());
        if (::WaitCommEvent(m_handle, &m_io.lineEvents, &m_io.lineWait))
            return OnLineEvent(); // an event was there already
        if (const DWORD error = ::GetLastError(); error == ERROR_IO_PENDING)
            m_io.linePending = true;
        else if (NoLineEvents(error))
            m_io.lineEventsWork = false;
        else
            m_result.lineWaitFailed = true;
        return true;
    }

    // Sleeps until a pending request ends, a stop is asked for, or the next read or the end of
    // the wait is due. Requests without an event are looked at every kPollMs, and without the
    // stop's wake-up handle a stop is looked for every kNoWakePollMs.
    bool Sleep() {
        HANDLE handles[3];
        DWORD count = 0;
        bool polled = false;
        if (m_io.readPending) {
            if (m_io.readEvent)
                handles[count++] = m_io.readEvent.Get();
            else
                polled = true;
        }
        if (m_io.linePending) {
            if (m_io.lineEvent)
                handles[count++] = m_io.lineEvent.Get();
            else
                polled = true;
        }
        if (m_wake != sorvel::kNoWaitHandle)
            handles[count++] = m_wake;
        DWORD timeout =
            MillisecondsUntil(m_io.readPending ? m_end : std::min(m_end, m_readAt), m_now);
        if (polled)
            timeout = std::min(timeout, kPollMs);
        if (m_wake == sorvel::kNoWaitHandle)
            timeout = std::min(timeout, kNoWakePollMs);
        if (WaitForAny(handles, count, timeout) != WAIT_FAILED)
            return true;
        m_result.end = WaitEnd::WaitFailed;
        return false;
    }

    bool CollectRead() {
        m_io.readPending = false;
        const DWORD error = FinishRequest(m_handle, m_io.read, m_result.bytes);
        if (m_result.bytes > 0) {
            m_result.end = WaitEnd::Bytes;
            return false;
        }
        if (error != 0) {
            // Any failure of a read that nobody cancelled: the device is gone.
            m_result.end = WaitEnd::Gone;
            return false;
        }
        m_readAt = Clock::now() + kEmptyReadPause;
        return true;
    }

    bool CollectLineWait() {
        m_io.linePending = false;
        DWORD unused = 0;
        const DWORD error = FinishRequest(m_handle, m_io.lineWait, unused);
        if (error == 0)
            return OnLineEvent();
        if (NoLineEvents(error))
            m_io.lineEventsWork = false;
        // Any other failure drops the wait; the next wait starts another.
        return true;
    }

    bool OnLineEvent() {
        switch (ClearErrors(m_port)) {
        case ClearResult::Done:
            return true;
        case ClearResult::Failed:
            m_result.clearFailed = true;
            return true;
        case ClearResult::Gone:
            m_result.end = WaitEnd::Gone;
            return false;
        }
        return true;
    }

    void RetireRequests() {
        if (m_io.readPending) {
            m_io.readPending = false;
            DWORD got = 0;
            const DWORD error = CancelRequest(m_handle, m_io.read, got);
            if (m_result.end != WaitEnd::Stop && got > 0) {
                // Bytes that had come when the wait ended are handed over before anything else.
                m_result.bytes = got;
                if (m_result.end == WaitEnd::Quiet)
                    m_result.end = WaitEnd::Bytes;
            } else if (error != 0 && error != ERROR_OPERATION_ABORTED &&
                       m_result.end == WaitEnd::Quiet) {
                m_result.end = WaitEnd::Gone;
            }
        }
        if (m_io.linePending) {
            m_io.linePending = false;
            DWORD unused = 0;
            CancelRequest(m_handle, m_io.lineWait, unused);
        }
    }

    sorvel::StopContext& m_context;
    Win32Port& m_port;
    ReaderIo& m_io;
    const HANDLE m_handle;
    const sorvel::WaitHandle m_wake;
    Clock::time_point m_now;
    Clock::time_point m_end;
    // When the next read may start.
    Clock::time_point m_readAt;
    bool m_lineWaitStarted = false;
    WaitResult m_result;
};

// The reader thread's loop over one port: waits, hands over what came, and deals with the line's
// errors, its quiet times and the port's loss.
class ReaderLoop {
public:
    ReaderLoop(sorvel::StopContext& context, ReaderLocal& local, Win32Port& port)
        : m_context(context), m_local(local), m_port(port) {}

    void Run() {
        Start();
        while (!m_context.StopRequested()) {
            if (!m_portUsable || m_port.closed) {
                // The owner hears of the loss once; then the device, gone or closed under us, is
                // never touched again and the reader waits to be told to stop.
                if (m_port.closed || TellIdle(m_context, m_local, COMM_IDLE_PORT_GONE))
                    WaitForStopAtMost(m_context, INFINITE);
                break;
            }
            if (!AfterWait(RunWait()))
                break;
        }
    }

private:
    // Each step below returns false when the reader must stop.

    // The reader's events, the line events it waits for, and the port's error state cleared.
    void Start() {
        m_io.readEvent = NewEvent();
        if (!m_io.readEvent || m_context.WakeFd() == sorvel::kNoWaitHandle)
            ReaderMessage(m_context, kMsgReaderEvent, MB_OK);
        m_io.lineEvent = NewEvent();
        if (!m_io.lineEvent)
            ReaderMessage(m_context, kMsgStatusEvent);
        DWORD maskError = 0;
        {
            PortUse use(m_port);
            if (use && !::SetCommMask(m_port.Handle(), kLineEventMask))
                maskError = ::GetLastError();
        }
        if (maskError != 0) {
            if (NoSuchLine(maskError))
                m_io.lineEventsWork = false;
            else
                ReaderMessage(m_context, kMsgCommMask);
        }
        m_portUsable = !m_port.gone;
        if (m_portUsable) {
            const ClearResult cleared = ClearErrors(m_port);
            if (cleared == ClearResult::Gone)
                m_portUsable = false;
            else if (cleared == ClearResult::Failed)
                ReaderMessage(m_context, kMsgClearErrors);
        }
    }

    WaitResult RunWait() {
        PortUse use(m_port);
        if (!use) {
            WaitResult stopped;
            stopped.end = WaitEnd::Stop;
            return stopped;
        }
        return ReaderWait(m_context, m_local, m_port, m_io).Run();
    }

    bool AfterWait(const WaitResult& wait) {
        if (wait.bytes > 0) {
            m_idleHeldBack = false;
            if (!m_context.CallOut(
                    [&] { m_local.receiver(m_io.buffer, static_cast<int>(wait.bytes)); }))
                return false;
        }
        if (wait.lineWaitFailed && !ReaderMessage(m_context, kMsgCommWait))
            return false;
        if (wait.clearFailed && !ReaderMessage(m_context, kMsgClearErrors))
            return false;
        switch (wait.end) {
        case WaitEnd::Gone:
            // No message: the reader stops touching the port rather than spin; the first write
            // tells the user.
            LosePort();
            return true;
        case WaitEnd::WaitFailed:
            if (!ReaderMessage(m_context, kMsgReaderWait))
                return false;
            // Whatever made the wait fail, the next try comes after a pause, not at once.
            WaitForStopAtMost(m_context, static_cast<DWORD>(kReaderWait.count()));
            return true;
        case WaitEnd::Quiet:
            return OnQuiet();
        case WaitEnd::Bytes:
        case WaitEnd::Stop:
            break;
        }
        return true;
    }

    bool OnQuiet() {
        DWORD queued = 0;
        const ClearResult cleared = ClearErrors(m_port, &queued);
        if (cleared == ClearResult::Gone) {
            LosePort();
            return true;
        }
        if (cleared == ClearResult::Failed && !ReaderMessage(m_context, kMsgClearErrors))
            return false;
        // Bytes that reached the driver as the wait ended are read before the owner hears of a
        // quiet line. Once only: a driver whose count never empties still gets its idle calls.
        if (queued > 0 && !m_idleHeldBack) {
            m_idleHeldBack = true;
            return true;
        }
        m_idleHeldBack = false;
        return TellQuiet(m_context, m_local);
    }

    void LosePort() {
        m_portUsable = false;
        m_port.SetGone();
    }

    sorvel::StopContext& m_context;
    ReaderLocal& m_local;
    Win32Port& m_port;
    ReaderIo m_io;
    bool m_portUsable = true;
    // An idle call held back once because bytes were waiting in the driver's queue.
    bool m_idleHeldBack = false;
};

} // namespace

void comm::PrepareReaderStart(CommPort& base) {
    Win32Port& port = Win32(base);
    PortUse use(port);
    if (!use)
        return;
    ::PurgeComm(port.Handle(), PURGE_TXCLEAR | PURGE_RXCLEAR);
    ::SetupComm(port.Handle(), kQueueBytes, kQueueBytes);
}

void comm::RunReader(sorvel::StopContext& context, ReaderLocal& local,
                     std::shared_ptr<CommPort> held) {
    ReaderLoop(context, local, Win32(*held)).Run();
    // Let go of the port before the thread counts as ended: a CommClose right after
    // CommStopReader then finds nobody else holding it.
    held.reset();
}
