// WorkerProcess on Windows: CreateProcessW with anonymous pipes. Only the child's ends of the
// pipes are ever inheritable, only while the child is made, and the child is told to inherit
// exactly those (PROC_THREAD_ATTRIBUTE_HANDLE_LIST); starts are serialised too, so that a worker
// started by another thread at the same time never holds another worker's pipe open (that
// worker's end of output would never be seen). Every worker joins one job object that ends it
// with the station. Wine's failures of either are taken softly: the worker still runs.
#include "WorkerProcess.h"

#include "Program.h"
#include "StopEventName.h"
#include "ThreadAnnotations.h"

#include <cstdio>
#include <utility>
#include <windows.h>

namespace sorvel::station {

namespace {

// The exit code that Kill gives a worker: Wait then says that it was killed.
constexpr UINT kKilledExitCode = 1;
constexpr DWORD kReadChunkBytes = 4096;

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    HANDLE* Out() {
        Reset();
        return &m_handle;
    }
    void Reset(HANDLE handle = nullptr) {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

// The job that every worker joins. Its handle is never closed: the system closes it when the
// station ends, and then ends every worker. nullptr when the system refused.
HANDLE StationJob() {
    static const HANDLE job = [] {
        HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
        if (made == nullptr)
            return made;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits)) {
            ::CloseHandle(made);
            return HANDLE{nullptr};
        }
        return made;
    }();
    return job;
}

// Held from the moment a child's ends become inheritable until they are closed again.
Mutex g_startMutex;

// A pipe whose end for the child (childEnd) is inheritable and whose end for the station is not.
bool MakePipe(UniqueHandle* readEnd, UniqueHandle* writeEnd, const UniqueHandle& childEnd) {
    if (!::CreatePipe(readEnd->Out(), writeEnd->Out(), nullptr, 0))
        return false;
    return ::SetHandleInformation(childEnd.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// The attribute that limits what the child inherits to the handles given; it must outlive
// CreateProcessW.
class InheritList {
public:
    explicit InheritList(std::vector<HANDLE> handles) : m_handles(std::move(handles)) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size))
            return;
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                         m_handles.data(), m_handles.size() * sizeof(HANDLE),
                                         nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(list);
            return;
        }
        m_list = list;
    }
    ~InheritList() {
        if (m_list != nullptr)
            ::DeleteProcThreadAttributeList(m_list);
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;

    // nullptr when the system would not make it.
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return m_list; }

private:
    std::vector<HANDLE> m_handles;
    std::vector<char> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

} // namespace

struct WorkerProcess::Handles {
    Handles(UniqueHandle in, UniqueHandle out, UniqueHandle worker, UniqueHandle stop)
        : input(std::move(in)), output(std::move(out)), process(std::move(worker)),
          stopEvent(std::move(stop)) {}

    Mutex writeMutex;
    UniqueHandle input GUARDED_BY(writeMutex);
    UniqueHandle output; // the reader's
    // Held until the WorkerProcess goes, so the process id stays this worker's meanwhile.
    UniqueHandle process;
    UniqueHandle stopEvent;
    Mutex processMutex;
    bool killed GUARDED_BY(processMutex) = false;
};

std::string WorkerExit::Describe() const {
    if (!exited)
        return signal != 0 ? "killed by signal " + std::to_string(signal) : "killed";
    // Exit codes are DWORDs; crashes end with an NTSTATUS code, known by its hex form.
    const auto status = static_cast<unsigned long>(static_cast<DWORD>(code));
    std::string text = "exit status " + std::to_string(status);
    if (status >= 0x80000000UL) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", status);
        text += std::string(" (") + hex + ")";
    }
    return text;
}

WorkerProcess::WorkerProcess(long pid, std::unique_ptr<Handles> handles)
    : m_pid(pid), m_handles(std::move(handles)) {}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    std::string* error, const std::string& cwd) {
    const std::wstring folder = Wide(cwd);
    if (!cwd.empty()) {
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const DWORD code =
                attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_DIRECTORY;
            *error = "cannot start " + program + ": folder " + cwd + ": " + Win32ErrorText(code);
            return nullptr;
        }
    }
    std::string commandLine = QuoteWindowsArgument(program);
    for (const std::string& arg : args) {
        commandLine += ' ';
        commandLine += QuoteWindowsArgument(arg);
    }
    std::wstring wideCommandLine = Wide(commandLine);

    MutexLock lock(g_startMutex);
    UniqueHandle input, output, childInput, childOutput, childError;
    if (!MakePipe(&childInput, &input, childInput) ||
        !MakePipe(&output, &childOutput, childOutput)) {
        *error = "cannot start " + program + ": " + Win32ErrorText(::GetLastError());
        return nullptr;
    }
    // The station's own standard error, as a handle the child may inherit; none without one.
    const HANDLE stationError = ::GetStdHandle(STD_ERROR_HANDLE);
    if (stationError != nullptr && stationError != INVALID_HANDLE_VALUE)
        ::DuplicateHandle(::GetCurrentProcess(), stationError, ::GetCurrentProcess(),
                          childError.Out(), 0, TRUE, DUPLICATE_SAME_ACCESS);
    std::vector<HANDLE> inherited{childInput.Get(), childOutput.Get()};
    if (childError.Get() != nullptr)
        inherited.push_back(childError.Get());
    const InheritList inheritList(inherited);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = childInput.Get();
    startup.StartupInfo.hStdOutput = childOutput.Get();
    startup.StartupInfo.hStdError = childError.Get();
    DWORD flags = CREATE_SUSPENDED;
    if (inheritList.Get() != nullptr) {
        startup.lpAttributeList = inheritList.Get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
    }
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                          cwd.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &info)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            *error = "program not found: " + program;
        else
            *error = "cannot start " + program + ": " + Win32ErrorText(code);
        return nullptr;
    }
    UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    // In the job before it runs, so that nothing it starts escapes the job either.
    if (const HANDLE job = StationJob(); job != nullptr)
        ::AssignProcessToJobObject(job, info.hProcess);
    // Made before the worker runs: a stop requested before sorvel-cli watches the event is kept
    // (it opens this event, manual reset, and finds it set).
    UniqueHandle stopEvent(
        ::CreateEventA(nullptr, TRUE, FALSE, CliStopEventName(info.dwProcessId).c_str()));
    ::ResumeThread(info.hThread);
    return std::unique_ptr<WorkerProcess>(
        new WorkerProcess(static_cast<long>(info.dwProcessId),
                          std::make_unique<Handles>(std::move(input), std::move(output),
                                                    std::move(process), std::move(stopEvent))));
}

WorkerProcess::~WorkerProcess() {
    Kill();
    Wait();
}

bool WorkerProcess::WriteLine(const std::string& line) {
    MutexLock lock(m_handles->writeMutex);
    if (m_handles->input.Get() == nullptr)
        return false;
    const std::string data = line + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        if (!::WriteFile(m_handles->input.Get(), data.data() + done,
                         static_cast<DWORD>(data.size() - done), &written, nullptr))
            return false;
        done += written;
    }
    return true;
}

void WorkerProcess::CloseInput() {
    MutexLock lock(m_handles->writeMutex);
    m_handles->input.Reset();
}

bool WorkerProcess::FillBuffer() {
    char chunk[kReadChunkBytes];
    for (;;) {
        DWORD got = 0;
        // A broken pipe is the end of the output: the worker closed it or ended.
        if (!::ReadFile(m_handles->output.Get(), chunk, sizeof chunk, &got, nullptr))
            return false;
        // An empty write of the worker's arrives as an empty read: not the end.
        if (got > 0) {
            m_buffer.append(chunk, got);
            return true;
        }
    }
}

bool WorkerProcess::RequestStop() {
    if (m_handles->stopEvent.Get() != nullptr)
        return ::SetEvent(m_handles->stopEvent.Get()) != 0;
    const UniqueHandle event(::OpenEventA(EVENT_MODIFY_STATE, FALSE,
                                          CliStopEventName(static_cast<DWORD>(m_pid)).c_str()));
    return event.Get() != nullptr && ::SetEvent(event.Get()) != 0;
}

void WorkerProcess::Kill() {
    MutexLock lock(m_handles->processMutex);
    if (m_handles->killed || ::WaitForSingleObject(m_handles->process.Get(), 0) != WAIT_TIMEOUT)
        return;
    if (::TerminateProcess(m_handles->process.Get(), kKilledExitCode))
        m_handles->killed = true;
}

WorkerExit WorkerProcess::Wait() {
    WorkerExit exit;
    ::WaitForSingleObject(m_handles->process.Get(), INFINITE);
    DWORD code = 0;
    if (!::GetExitCodeProcess(m_handles->process.Get(), &code))
        return exit;
    MutexLock lock(m_handles->processMutex);
    exit.exited = !m_handles->killed;
    exit.code = static_cast<int>(code);
    return exit;
}

} // namespace sorvel::station
