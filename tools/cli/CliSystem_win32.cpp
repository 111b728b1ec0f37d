// sorvel-cli's system calls on Windows: the console's control events through a handler that
// sets a named event (which the station sets too), WaitForMultipleObjects, the console's screen
// buffer.
#include "CliSystem.h"

#include "StopEventName.h"

#include <atomic>
#include <cstdlib>
#include <system_error>
#include <windows.h>

namespace sorvel::cli {

const char* const kPortHelp =
    "the serial port as Windows names it: COM3, COM12, or \"COM3:\" as the dialog lists them "
    "(any COM number, with or without the colon); any other name is used as given";

namespace {

// The event that the console's handler sets. The system calls the handler on a thread of its
// own, at any time while it is installed.
std::atomic<HANDLE> g_stopEvent{nullptr};

// Only sets the event: the main thread sees it in its wait and stops the upload. TRUE keeps the
// system from ending the process on Ctrl-C and Ctrl-Break. After the close event the system
// ends the process once the handler returns, whatever it returns.
BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (HANDLE stop = g_stopEvent.load())
            ::SetEvent(stop);
        return TRUE;
    default:
        return FALSE;
    }
}

std::string LastErrorText() {
    return std::system_category().message(static_cast<int>(::GetLastError()));
}

} // namespace

StopSignal::StopSignal() {
    // Manual reset: once set it stays set, as a signal that was not read stays pending on POSIX.
    // Named for this process, so that the station can set it as Ctrl-C would; when the station
    // made it already (before this process ran), this opens the station's event.
    const std::string name = CliStopEventName(::GetCurrentProcessId());
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    if (event == nullptr) {
        m_error = LastErrorText();
        return;
    }
    g_stopEvent.store(event);
    // A program started with Ctrl-C ignored (inherited from its parent) still stops on it, as a
    // blocked signal still reaches the POSIX program. Fails harmlessly without a console.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        m_error = LastErrorText();
        g_stopEvent.store(nullptr);
        ::CloseHandle(event);
        return;
    }
    m_handle = event;
}

StopSignal::~StopSignal() {
    if (m_handle == nullptr)
        return;
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    // The event stays open until the process ends: a handler that the system had already
    // started may still be about to set it.
}

WaitResult WaitForWakeOrStop(WaitHandle wake, const StopSignal& stop, int timeoutMs) {
    // The stop first: WaitForMultipleObjects reports the lowest ready index.
    HANDLE handles[2];
    DWORD count = 0;
    DWORD stopIndex = MAXDWORD;
    if (stop.Handle() != nullptr) {
        stopIndex = count;
        handles[count++] = stop.Handle();
    }
    if (wake != nullptr)
        handles[count++] = wake;
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (count == 0) {
        ::Sleep(timeout);
        return WaitResult::Timeout;
    }
    const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (result == WAIT_TIMEOUT)
        return WaitResult::Timeout;
    if (result >= WAIT_OBJECT_0 + count)
        return WaitResult::Failed;
    return result - WAIT_OBJECT_0 == stopIndex ? WaitResult::Stop : WaitResult::Wake;
}

bool StdoutIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// Through the C runtime, which keeps its own copy of the environment for std::getenv and
// passes the change on to the process's.
std::string SetEnvironment(const std::string& name, const std::string& value) {
    if (const errno_t error = ::_putenv_s(name.c_str(), value.c_str()); error != 0)
        return std::generic_category().message(error);
    return {};
}

void IgnoreBrokenPipe() {}

} // namespace sorvel::cli
