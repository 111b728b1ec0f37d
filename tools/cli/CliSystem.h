// What sorvel-cli asks of the operating system: the console's stop request (Ctrl-C), a wait for
// it next to the task queue's wake-up, the terminal on standard output, the environment, and how
// the system names its serial ports. The
// system's calls live in the file named for its OS (CliSystem_linux.cpp, CliSystem_win32.cpp).
//
// Threads: all on the program's main thread, which runs the task queue.
#pragma once

#include "WakeEvent.h"

#include <string>

namespace sorvel::cli {

// The user's request to stop the program: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and the console window's close on Windows, where the station's stop request (an
// event named by CliStopEventName) reaches it too. Once watched, such a request no longer
// ends the process: it only makes Handle() ready, and the program stops in its own time. No work
// is done in a signal handler.
//
// One at a time per process. On POSIX it must be made before any other thread starts, so that
// every thread inherits the blocked signals and they arrive only through Handle().
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // False when the system refused to watch; Error() then says why.
    bool Valid() const { return m_handle != kNoWaitHandle; }
    const std::string& Error() const { return m_error; }
    // Ready (readable, signalled) once a stop was requested.
    WaitHandle Handle() const { return m_handle; }

private:
    WaitHandle m_handle = kNoWaitHandle;
    std::string m_error;
};

enum class WaitResult {
    Stop,    // a stop was requested (checked first, when both are ready)
    Wake,    // the wake-up handle is ready
    Timeout, // neither within the time-out
    Failed,  // the wait itself failed
};

// Waits until stop is requested or wake is ready, for at most timeoutMs milliseconds (-1: no
// time-out). wake may be kNoWaitHandle: then only the stop and the time-out end the wait. An
// interrupted wait counts as a time-out.
WaitResult WaitForWakeOrStop(WaitHandle wake, const StopSignal& stop, int timeoutMs);

// Whether standard output is a terminal (a console on Windows), where a progress line may be
// drawn in place.
bool StdoutIsTerminal();

// The columns of the terminal on standard output, asked each time so that a resized window is
// followed; 0 when it is no terminal or does not say.
int TerminalColumns();

// What --help says of --port: the port names of this system.
extern const char* const kPortHelp;

// Sets name=value in the process's environment, where std::getenv sees it; an error text, ""
// on success.
std::string SetEnvironment(const std::string& name, const std::string& value);

// A write to a closed pipe must end with an error, not end the process (SIGPIPE on POSIX; on
// Windows such a write fails already).
void IgnoreBrokenPipe();

} // namespace sorvel::cli
