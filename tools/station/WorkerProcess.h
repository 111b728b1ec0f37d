// One worker of the station: a program (sorvel-cli --json) started with pipes on its standard
// input and output, so that the station writes its answers as lines and reads its events as
// lines; its standard error is the station's own. The system's calls live in the file named for
// the OS (WorkerProcess_posix.cpp, WorkerProcess_win32.cpp).
//
// A worker never outlives the station by much: on Linux it gets SIGTERM when the thread that
// started it ends (so start workers from a thread that lives as long as they do, the main thread
// for instance); on Windows every worker is in one job object that ends them all when the station
// ends. Destroying a WorkerProcess kills a worker that still runs and collects its end, so no
// zombie stays behind. A worker shares the station's terminal or console: a Ctrl-C typed there
// reaches the workers too, as it would reach any program started from it.
//
// Threads: one thread reads (ReadLine) and, once it saw the end of the output, waits (Wait);
// any thread may write (WriteLine, CloseInput), ask for a stop (RequestStop) or kill (Kill)
// meanwhile. Destroy it only after the reader has returned.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace sorvel::station {

// How a worker ended.
struct WorkerExit {
    bool exited = false; // ended by itself, with code
    int code = -1;
    int signal = 0; // POSIX: the signal that ended it (0 when none)

    // "exit status 1"; "killed by signal 9 (Killed)"; on Windows the codes of crashes in hex too:
    // "exit status 3221225477 (0xC0000005)", and "killed" for a worker ended by Kill.
    std::string Describe() const;
};

class WorkerProcess {
public:
    // Starts program with args (argv[1..]). A program without a directory is looked for as the
    // system looks for commands (PATH on POSIX; on Windows the station's own folder first, and
    // ".exe" may be left out). cwd "" keeps this process's working folder. On failure nullptr,
    // and *error says why: "program not found: <program>", else "cannot start <program>: " and
    // the system's words.
    static std::unique_ptr<WorkerProcess> Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                std::string* error, const std::string& cwd = {});
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // Writes line and "\n" to its standard input (on Windows too: the worker reads text). Blocks
    // while the pipe is full. False when the pipe is closed (the worker ended or CloseInput).
    bool WriteLine(const std::string& line);
    // Closes its standard input: the worker reads the end of its input.
    void CloseInput();

    // Blocks for the next line of its standard output and gives it without its "\n" or "\r\n".
    // False at the end of its output (it closed it or ended); a last line without a line end is
    // given first. A line longer than kMaxLineBytes comes in pieces of that size.
    bool ReadLine(std::string* line);
    static constexpr std::size_t kMaxLineBytes = 1024 * 1024;

    // Asks it to stop as Ctrl-C would: SIGINT on POSIX; on Windows the event that sorvel-cli
    // watches (CliStopEventName), made by Start before the worker runs, so that a request made
    // before the worker watches it is not lost. False when the request could not be made (on
    // POSIX: the worker was already collected by Wait).
    bool RequestStop();
    // Ends it at once (SIGKILL, TerminateProcess). Does nothing after it ended.
    void Kill();
    // Waits for its end and says how it ended; later calls give the same answer. Normally after
    // ReadLine returned false. One thread at a time.
    WorkerExit Wait();

    long Pid() const { return m_pid; }

private:
    struct Handles; // the system's handles, in the OS file
    WorkerProcess(long pid, std::unique_ptr<Handles> handles);
    // Reads more of the output into m_buffer; false at its end.
    bool FillBuffer();

    const long m_pid;
    std::unique_ptr<Handles> m_handles;
    // The reader's own: output read but not yet given as lines.
    std::string m_buffer;
    std::size_t m_scanned = 0; // bytes of m_buffer known to hold no "\n"
    bool m_outputEnded = false;
};

// One argument as the Microsoft C runtime (and CommandLineToArgvW) splits a command line back:
// quoted when empty or when it holds a space, tab, newline, vertical tab or '"'; inside quotes a
// '"' becomes \" and the backslashes before a '"' or before the closing quote are doubled. Other
// arguments are given as they are. Pure, on every system (the tests run it on Linux).
std::string QuoteWindowsArgument(const std::string& argument);

} // namespace sorvel::station
