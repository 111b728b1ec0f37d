// WorkerProcess on Linux: fork and execve, so that the child can ask for SIGTERM when the thread
// that started it ends (prctl, which posix_spawn cannot do), with the child's dispositions and
// signal mask set back to the defaults, whatever the station blocks or ignores. Every descriptor
// is made close-on-exec (pipe2), so that a worker started by another thread at the same time
// never holds another worker's pipes open and a worker's end of output is seen.
#include "WorkerProcess.h"

#include "Program.h"
#include "ThreadAnnotations.h"
#include "UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace sorvel::station {

struct WorkerProcess::Handles {
    Handles(UniqueFd in, UniqueFd out) : input(std::move(in)), output(std::move(out)) {}

    Mutex writeMutex;
    UniqueFd input GUARDED_BY(writeMutex);
    UniqueFd output; // the reader's
    // The pid stays this worker's until waitpid collects it: every signal is sent under this
    // lock, and only while it is not collected, so that no signal ever reaches a reused pid.
    Mutex processMutex;
    bool collected GUARDED_BY(processMutex) = false;
    WorkerExit exit GUARDED_BY(processMutex);
};

namespace {

// What the child tells the station through its error pipe before it exits, when it could not
// run the program. Nothing comes through the pipe when execve succeeds: it closes on exec.
struct ChildFailure {
    enum Step : int { kChangeFolder, kExec } step;
    int error;
};

// Descriptors 0 to 2 may be free in the station (a closed standard input): the pipes must not
// take them, or the child's dup2 onto 0 and 1 would overwrite one with another.
bool MoveAboveStandardStreams(UniqueFd* fd) {
    if (fd->Get() > STDERR_FILENO)
        return true;
    const int moved = ::fcntl(fd->Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return false;
    fd->Reset(moved);
    return true;
}

bool MakePipe(UniqueFd* readEnd, UniqueFd* writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd->Reset(fds[0]);
    writeEnd->Reset(fds[1]);
    return MoveAboveStandardStreams(readEnd) && MoveAboveStandardStreams(writeEnd);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::access(path.c_str(), X_OK) == 0 && ::stat(path.c_str(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

// As execvp looks for a command, done before fork: the child may only make async-signal-safe
// calls. "" when PATH has no such program.
std::string FindInPath(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(folders.find(':', begin), folders.size());
        const std::string folder = folders.substr(begin, end - begin);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (IsExecutableFile(candidate))
            return candidate;
        if (end == folders.size())
            return {};
        begin = end + 1;
    }
}

struct ChildSetup {
    const char* path;
    char* const* argv;
    char* const* envp;
    const char* cwd; // nullptr: the station's
    int input;
    int output;
    int failurePipe;
    pid_t station;
};

[[noreturn]] void ReportAndExit(int failurePipe, ChildFailure::Step step, int error) {
    const ChildFailure failure{step, error};
    [[maybe_unused]] const ssize_t written = ::write(failurePipe, &failure, sizeof failure);
    ::_exit(127);
}

// In the child, between fork and execve: async-signal-safe calls only. All signals are blocked
// here (the station blocked them around fork), so no handler of the station runs in the child.
[[noreturn]] void RunChild(const ChildSetup& setup) {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    // Refused for SIGKILL, SIGSTOP and the C library's own signals, which need no reset.
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &defaults, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The station ended before the request above: nobody would send the signal.
    if (::getppid() != setup.station)
        ::_exit(127);
    if (::dup2(setup.input, STDIN_FILENO) < 0 || ::dup2(setup.output, STDOUT_FILENO) < 0)
        ReportAndExit(setup.failurePipe, ChildFailure::kExec, errno);
    if (setup.cwd != nullptr && ::chdir(setup.cwd) != 0)
        ReportAndExit(setup.failurePipe, ChildFailure::kChangeFolder, errno);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(setup.path, setup.argv, setup.envp);
    ReportAndExit(setup.failurePipe, ChildFailure::kExec, errno);
}

std::string DescribeFailure(const std::string& program, const std::string& cwd,
                            const ChildFailure& failure) {
    if (failure.step == ChildFailure::kExec && failure.error == ENOENT)
        return "program not found: " + program;
    std::string text = "cannot start " + program + ": ";
    if (failure.step == ChildFailure::kChangeFolder)
        text += "folder " + cwd + ": ";
    return text + SystemErrorText(failure.error);
}

pid_t WaitPidRetrying(pid_t pid, int* status) {
    for (;;) {
        const pid_t result = ::waitpid(pid, status, 0);
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

} // namespace

std::string WorkerExit::Describe() const {
    if (exited)
        return "exit status " + std::to_string(code);
    if (signal != 0) {
        std::string text = "killed by signal " + std::to_string(signal);
        if (const char* name = ::sigdescr_np(signal))
            text += std::string(" (") + name + ")";
        return text;
    }
    return "ended (how is not known)";
}

WorkerProcess::WorkerProcess(long pid, std::unique_ptr<Handles> handles)
    : m_pid(pid), m_handles(std::move(handles)) {}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    std::string* error, const std::string& cwd) {
    const std::string path = FindInPath(program);
    if (path.empty()) {
        *error = "program not found: " + program;
        return nullptr;
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    UniqueFd input, output, childInput, childOutput, failureRead, failureWrite;
    if (!MakePipe(&childInput, &input) || !MakePipe(&output, &childOutput) ||
        !MakePipe(&failureRead, &failureWrite)) {
        *error = "cannot start " + program + ": " + SystemErrorText(errno);
        return nullptr;
    }
    const ChildSetup setup{path.c_str(),
                           argv.data(),
                           environ,
                           cwd.empty() ? nullptr : cwd.c_str(),
                           childInput.Get(),
                           childOutput.Get(),
                           failureWrite.Get(),
                           ::getpid()};

    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0)
        RunChild(setup);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        *error = "cannot start " + program + ": " + SystemErrorText(forkError);
        return nullptr;
    }

    // Only the child holds these now: the end of its output and of its error pipe is then seen.
    childInput.Reset();
    childOutput.Reset();
    failureWrite.Reset();
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(failureRead.Get(), &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        int status = 0;
        WaitPidRetrying(pid, &status);
        *error = DescribeFailure(program, cwd, failure);
        return nullptr;
    }
    return std::unique_ptr<WorkerProcess>(
        new WorkerProcess(pid, std::make_unique<Handles>(std::move(input), std::move(output))));
}

WorkerProcess::~WorkerProcess() {
    Kill();
    Wait();
}

bool WorkerProcess::WriteLine(const std::string& line) {
    MutexLock lock(m_handles->writeMutex);
    if (!m_handles->input.Valid())
        return false;
    const std::string data = line + "\n";
    // A worker that ended makes the write fail with EPIPE and raise SIGPIPE, which would end the
    // station. The signal is blocked in this thread for the write, and the one that the write
    // raised is taken back before the mask is restored.
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    std::size_t done = 0;
    int writeError = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_handles->input.Get(), data.data() + done, data.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            writeError = errno;
            break;
        }
    }
    if (writeError == EPIPE && !alreadyPending) {
        const timespec noWait{};
        while (::sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return writeError == 0;
}

void WorkerProcess::CloseInput() {
    MutexLock lock(m_handles->writeMutex);
    m_handles->input.Reset();
}

bool WorkerProcess::FillBuffer() {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_handles->output.Get(), chunk, sizeof chunk);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool WorkerProcess::RequestStop() {
    MutexLock lock(m_handles->processMutex);
    return !m_handles->collected && ::kill(static_cast<pid_t>(m_pid), SIGINT) == 0;
}

void WorkerProcess::Kill() {
    MutexLock lock(m_handles->processMutex);
    if (!m_handles->collected)
        ::kill(static_cast<pid_t>(m_pid), SIGKILL);
}

WorkerExit WorkerProcess::Wait() {
    {
        MutexLock lock(m_handles->processMutex);
        if (m_handles->collected)
            return m_handles->exit;
    }
    // Waits without collecting, so that Kill and RequestStop may still signal meanwhile; the pid
    // is collected below under the lock they take.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    MutexLock lock(m_handles->processMutex);
    if (!m_handles->collected) {
        int status = 0;
        // Fails when the station lets the system collect its children (SIGCHLD ignored): then
        // how the worker ended is not known.
        if (WaitPidRetrying(static_cast<pid_t>(m_pid), &status) == static_cast<pid_t>(m_pid)) {
            WorkerExit& exit = m_handles->exit;
            exit.exited = WIFEXITED(status);
            exit.code = exit.exited ? WEXITSTATUS(status) : -1;
            exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        m_handles->collected = true;
    }
    return m_handles->exit;
}

} // namespace sorvel::station
