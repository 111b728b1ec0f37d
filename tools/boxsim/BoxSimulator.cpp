#include "BoxSimulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sorvel::boxsim {
namespace {

using Clock = std::chrono::steady_clock;

// After a file's last record the engine's handshake thread may still put one wake-up byte on
// the line (the turn that was running when the ACK arrived). A wake-up byte this soon after a
// file is taken for that straggler, not for the next file's handshake; the next handshake
// repeats its byte every 50 ms, so it is answered at the next one.
constexpr auto kStragglerWindow = std::chrono::milliseconds(40);
// Wake-up bytes while the box waits for a record, this long after its last request and several
// in a row, are no straggler: the engine has started the upload again (cancelled and restarted,
// or reconnected), and the box starts the current file again. The engine's own handshake sends
// at most one byte after the box's answer, and it comes before the first record.
constexpr auto kRestartWindow = std::chrono::milliseconds(200);
constexpr unsigned kRestartWakeUps = 3;
// A record that still differs after this many resends is given up.
constexpr unsigned kMaxMismatchesInRow = 3;
constexpr std::size_t kReadChunkBytes = 4096;
// How long Send waits for room in the line's buffer before it gives up.
constexpr auto kSendTimeout = std::chrono::seconds(5);
// How often the box looks for an exclusive-open flag left behind by a client that was killed.
constexpr auto kStaleCheckPeriod = std::chrono::milliseconds(500);

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The records of an upload file, as the box expects them: the counted records, each whole; what
// follows them is not looked at, and a record of any length is taken.
bool ParseUploadFile(const std::vector<std::uint8_t>& file,
                     std::vector<std::vector<std::uint8_t>>& records, std::string& error) {
    const upload::Walk walk = upload::WalkUploadFile(
        upload::MemoryReader(file), file.size(), {.stopAtCount = true, .limitRecordBytes = false},
        [&](std::uint64_t offset, std::uint64_t bytes) {
            records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                 file.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
        });
    const std::string which = "record " + std::to_string(walk.records + 1);
    switch (walk.fault) {
    case upload::Fault::None:
        return true;
    case upload::Fault::NotUploadFile:
        error = "not an upload file (no \"MZ\" header)";
        return false;
    case upload::Fault::CountMismatch:
        error = "the header counts " + std::to_string(walk.count) + " records, the file holds " +
                std::to_string(walk.records);
        return false;
    case upload::Fault::NoRecordHeader:
        error = which + " does not begin with 0x02";
        return false;
    case upload::Fault::RecordCut:
        error = which + " is cut short by the end of the file";
        return false;
    case upload::Fault::RecordTooLong: // not asked for: the box takes records of any length
    case upload::Fault::Unreadable:    // bytes in memory always read
        error = which + " cannot be read";
        return false;
    }
    return false;
}

} // namespace

BoxSimulator::BoxSimulator(Options options) : m_options(std::move(options)) {
    if (m_options.answerAfter == 0)
        m_options.answerAfter = 1;
    if (!m_options.answerHandshake)
        m_phase = Phase::Silent;
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0) {
        m_openError = ErrnoText("posix_openpt");
        return;
    }
    char name[256] = {};
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0 ||
        ::ptsname_r(m_masterFd, name, sizeof name) != 0) {
        m_openError = ErrnoText("pseudo-terminal setup");
        CloseFd(m_masterFd);
        return;
    }
    m_slavePath = name;
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveFd < 0) {
        m_openError = ErrnoText(name);
        CloseFd(m_masterFd);
        return;
    }
    // Raw from the start: with the default line discipline the slave would echo the box's
    // bytes back to it and translate some of them before the engine sets its own mode.
    termios tio{};
    if (::tcgetattr(m_slaveFd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(m_slaveFd, TCSANOW, &tio);
    }
    int flags = ::fcntl(m_masterFd, F_GETFL);
    ::fcntl(m_masterFd, F_SETFL, flags | O_NONBLOCK);
    // Watched once the box's own descriptor is open: only the clients' opens count.
    if (m_options.powerCycle) {
        m_clientWatch.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!m_clientWatch.Valid() ||
            ::inotify_add_watch(m_clientWatch.Get(), name, IN_OPEN | IN_MODIFY | IN_CLOSE) < 0) {
            m_openError = ErrnoText("inotify");
            CloseFd(m_slaveFd);
            CloseFd(m_masterFd);
            return;
        }
    }
    if (m_request.Handle() < 0) {
        m_openError = ErrnoText("eventfd");
        CloseFd(m_slaveFd);
        CloseFd(m_masterFd);
        return;
    }
    m_opened = true;
}

BoxSimulator::~BoxSimulator() {
    Stop();
    std::lock_guard lock(m_writeMutex);
    CloseFd(m_slaveFd);
    CloseFd(m_masterFd);
}

bool BoxSimulator::Expect(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = path + ": cannot be opened";
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    return ExpectBytes(bytes, path, error);
}

bool BoxSimulator::ExpectBytes(const std::vector<std::uint8_t>& file, const std::string& name,
                               std::string* error) {
    File f;
    f.name = name;
    std::string why;
    if (!ParseUploadFile(file, f.records, why)) {
        if (error)
            *error = name + ": " + why;
        return false;
    }
    m_files.push_back(std::move(f));
    std::lock_guard lock(m_mutex);
    m_report.filesExpected = m_files.size();
    return true;
}

bool BoxSimulator::Start() {
    if (!m_opened || m_thread.Started())
        return false;
    return m_thread.Start([this](sorvel::StopContext& context) { Run(context); });
}

void BoxSimulator::Stop() {
    m_thread.Stop();
}

bool BoxSimulator::Send(const std::vector<std::uint8_t>& bytes) {
    return WriteAll(bytes.data(), bytes.size());
}

bool BoxSimulator::Send(const std::string& bytes) {
    return WriteAll(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void BoxSimulator::HangUp() {
    {
        std::lock_guard lock(m_mutex);
        m_hangUpRequested = true;
    }
    if (m_thread.Started()) {
        m_request.Set();
        WaitFor([](const Report& r) { return r.hungUp; }, std::chrono::seconds(5));
    } else {
        std::lock_guard lock(m_writeMutex);
        CloseLocked();
    }
}

void BoxSimulator::CloseLocked() {
    CloseFd(m_slaveFd);
    CloseFd(m_masterFd);
    {
        std::lock_guard lock(m_mutex);
        m_report.hungUp = true;
    }
    m_changed.notify_all();
}

bool BoxSimulator::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(m_writeMutex);
    auto deadline = Clock::now() + kSendTimeout;
    while (count > 0) {
        if (m_masterFd < 0)
            return false;
        ssize_t n = ::write(m_masterFd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{m_masterFd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
}

Report BoxSimulator::GetReport() const {
    std::lock_guard lock(m_mutex);
    return m_report;
}

std::vector<std::uint8_t> BoxSimulator::Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

bool BoxSimulator::ClientHoldsPort() const {
    std::lock_guard lock(m_writeMutex);
    int exclusive = 0;
    return m_slaveFd >= 0 && ::ioctl(m_slaveFd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

void BoxSimulator::ReleaseStaleExclusiveOpen() {
    // A client sets the flag only once it holds the port's lock (flock), and clears it before it
    // closes; a flag with no lock held is left by a client that was killed. On a real serial port
    // the last close clears it; here the box's own descriptor keeps the port open.
    std::lock_guard lock(m_writeMutex);
    int exclusive = 0;
    if (m_slaveFd < 0 || ::ioctl(m_slaveFd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0)
        return;
    if (::flock(m_slaveFd, LOCK_EX | LOCK_NB) != 0)
        return; // a client holds it
    ::ioctl(m_slaveFd, TIOCNXCL);
    ::flock(m_slaveFd, LOCK_UN);
    Event("the port's last client went away without closing it: exclusive-open flag cleared");
}

bool BoxSimulator::WaitFor(const std::function<bool(const Report&)>& predicate,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_report); });
}

bool BoxSimulator::WaitForFilesCompleted(std::size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor([n](const Report& r) { return r.filesCompleted >= n; }, timeout);
}

bool BoxSimulator::WaitForWakeUps(std::size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor([n](const Report& r) { return r.wakeUps >= n; }, timeout);
}

bool BoxSimulator::WaitForRecords(std::size_t n, std::chrono::milliseconds timeout) const {
    return WaitFor([n](const Report& r) { return r.recordsReceived >= n; }, timeout);
}

bool BoxSimulator::WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= n; });
}

void BoxSimulator::WakeWaiters() const {
    { std::lock_guard lock(m_mutex); }
    m_changed.notify_all();
}

void BoxSimulator::Event(const std::string& text) {
    if (m_options.onEvent)
        m_options.onEvent(text);
}

void BoxSimulator::Run(sorvel::StopContext& context) {
    std::uint8_t buffer[kReadChunkBytes];
    bool lineOpen = true;
    for (;;) {
        bool hangUp = false;
        {
            std::lock_guard lock(m_mutex);
            if (context.StopRequested())
                return;
            hangUp = m_hangUpRequested && lineOpen;
            m_hangUpRequested = false;
        }
        if (hangUp) {
            lineOpen = false;
            Event("hanging up");
            std::lock_guard writeLock(m_writeMutex);
            CloseLocked();
            continue;
        }
        // The emulated wire time is waited with nanosecond precision: rounding each wait up
        // to a whole millisecond would slow a 256-byte record at 115200 baud by about 4 %.
        auto now = Clock::now();
        if (lineOpen && now >= m_staleCheckAt) {
            m_staleCheckAt = now + kStaleCheckPeriod;
            ReleaseStaleExclusiveOpen();
        }
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (lineOpen) {
            const auto wakeAt = m_askPending ? std::min(m_askAt, m_staleCheckAt) : m_staleCheckAt;
            auto left =
                std::max(std::chrono::nanoseconds(0),
                         std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - now));
            timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            timeoutPtr = &timeout;
        }
        pollfd fds[4] = {{m_request.Handle(), POLLIN, 0},
                         {lineOpen ? m_masterFd : -1, POLLIN, 0},
                         {context.WakeFd(), POLLIN, 0},
                         {lineOpen ? m_clientWatch.Get() : -1, POLLIN, 0}};
        int ready = ::ppoll(fds, 4, timeoutPtr, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            m_request.Clear();
        if (!lineOpen)
            continue;
        // The line is read before the port's events are looked at: whatever a client wrote
        // before this read, its open and its writes are among the events. Bytes read together
        // with the last client's close are that client's, and go to the box it knew, unless a
        // client wrote after the close: then they may be the new client's, and meet the box as
        // it is after the power cycle (what the old one sent last is then taken for stray bytes).
        ssize_t n = 0;
        int readError = 0;
        if (fds[1].revents != 0) {
            n = ::read(m_masterFd, buffer, sizeof buffer);
            readError = n < 0 ? errno : 0;
        }
        const ClientEvents clients = ReadClientEvents();
        const bool powerCycleAfterBytes = clients.letGo && !clients.writtenSince;
        if (clients.letGo && !powerCycleAfterBytes)
            PowerCycle();
        now = Clock::now();
        if (m_askPending && now >= m_askAt) {
            m_askPending = false;
            Request(m_awaitingResend ? kNak : kEnq);
        }
        if (n > 0) {
            {
                std::lock_guard lock(m_mutex);
                m_received.insert(m_received.end(), buffer, buffer + n);
            }
            HandleBytes(buffer, static_cast<std::size_t>(n), now);
            m_changed.notify_all();
        }
        if (powerCycleAfterBytes)
            PowerCycle();
        if (fds[1].revents == 0 || n > 0 || readError == EINTR || readError == EAGAIN)
            continue;
        // The line is gone (no slave left, or an error): stop polling it rather than spin.
        std::lock_guard writeLock(m_writeMutex);
        lineOpen = false;
        CloseLocked();
        Event("line closed");
    }
}

void BoxSimulator::HandleBytes(const std::uint8_t* bytes, std::size_t count,
                               Clock::time_point now) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t b = bytes[i];
        if (m_phase == Phase::Streaming && !m_record.empty()) {
            AddRecordByte(b, now);
        } else if (b == kWakeUp) {
            HandleWakeUp(now);
        } else if (m_phase == Phase::Streaming && b == upload::kRecordType) {
            m_wakeUpsWaiting = 0;
            m_record.assign(1, b);
            m_recordNeed = 0;
        } else {
            std::lock_guard lock(m_mutex);
            ++m_report.strayBytes;
        }
    }
}

void BoxSimulator::AddRecordByte(std::uint8_t byte, Clock::time_point now) {
    m_record.push_back(byte);
    if (m_record.size() == upload::kRecordHeaderBytes) {
        // Only records that begin with the type byte are collected (HandleBytes).
        m_recordNeed = static_cast<std::size_t>(
            upload::ParseRecordHeader(m_record.data(), upload::kRecordHeaderBytes).bytes);
    }
    if (m_record.size() >= upload::kRecordHeaderBytes && m_record.size() == m_recordNeed)
        HandleRecord(now);
}

void BoxSimulator::HandleWakeUp(Clock::time_point now) {
    bool answer = false;
    bool restart = false;
    {
        std::lock_guard lock(m_mutex);
        ++m_report.wakeUps;
        if (m_phase == Phase::Handshake &&
            (m_report.filesCompleted == 0 || now - m_fileDoneAt >= kStragglerWindow) &&
            ++m_wakeUpsThisHandshake >= m_options.answerAfter)
            answer = true;
        if (m_phase == Phase::Streaming && !m_askPending &&
            now - m_lastRequestAt >= kRestartWindow && ++m_wakeUpsWaiting >= kRestartWakeUps)
            answer = restart = true;
        if (answer) {
            ++m_report.handshakesAnswered;
            m_report.recordsInFile = 0;
        }
    }
    if (!answer)
        return;
    m_phase = Phase::Streaming;
    m_wakeUpsThisHandshake = 0;
    m_recordIndex = 0;
    m_awaitingResend = false;
    m_lastRecordRefused = false;
    m_askPending = false;
    if (restart && m_fileIndex < m_files.size())
        Event("new handshake: " + m_files[m_fileIndex].name + " starts again");
    else
        Event("handshake answered");
    Request(kAck);
    Request(kEnq);
}

void BoxSimulator::HandleRecord(Clock::time_point now) {
    std::vector<std::uint8_t> record;
    record.swap(m_record);
    m_recordNeed = 0;
    const File* file = m_fileIndex < m_files.size() ? &m_files[m_fileIndex] : nullptr;
    const RecordOutcome outcome = TakeRecord(record, file);
    if (outcome.fileDone)
        FinishFile(*file, outcome.filesCompleted, now);
    if (StopAfterRecords(outcome.recordsReceived) || outcome.fileDone)
        return;
    if (!outcome.match && (!file || m_mismatchesInRow >= kMaxMismatchesInRow)) {
        GiveUp();
        return;
    }
    if (outcome.nak)
        m_awaitingResend = true;
    AskForNext(record.size(), outcome.nak, now,
               outcome.nak && outcome.lastRecord ? m_options.nakLastDelay
                                                 : std::chrono::nanoseconds(0));
}

BoxSimulator::RecordOutcome BoxSimulator::TakeRecord(const std::vector<std::uint8_t>& record,
                                                     const File* file) {
    RecordOutcome outcome;
    // With no file expected any record is taken.
    outcome.match = m_files.empty() || (file && m_recordIndex < file->records.size() &&
                                        file->records[m_recordIndex] == record);
    std::string event;
    {
        std::lock_guard lock(m_mutex);
        outcome.recordsReceived = ++m_report.recordsReceived;
        if (m_roundPending) {
            m_report.filesExpected += m_files.size();
            m_roundPending = false;
        }
        event = outcome.match ? AcceptLocked(record, file, outcome)
                              : RefuseLocked(record, file, outcome);
    }
    if (!event.empty())
        Event(event);
    return outcome;
}

std::string BoxSimulator::AcceptLocked(const std::vector<std::uint8_t>& record, const File* file,
                                       RecordOutcome& outcome) {
    const bool last = file && m_recordIndex + 1 == file->records.size();
    outcome.lastRecord = last;
    ++m_report.recordsVerified;
    ++m_report.recordsInFile;
    m_mismatchesInRow = 0;
    if (m_awaitingResend) {
        ++m_report.resends;
        m_awaitingResend = false;
    } else {
        ++m_newRecords;
        outcome.nak = m_options.nakEvery && m_newRecords % m_options.nakEvery == 0;
    }
    if (last && (m_options.nakLast == Options::NakLast::Always ||
                 (m_options.nakLast == Options::NakLast::Once && !m_lastRecordRefused))) {
        outcome.nak = true;
        m_lastRecordRefused = true;
    }
    if (!outcome.nak) {
        ++m_recordIndex;
        if (file && m_recordIndex == file->records.size()) {
            outcome.fileDone = true;
            outcome.filesCompleted = ++m_report.filesCompleted;
        }
    }
    if (!m_options.verbose)
        return {};
    std::string event = "record " + std::to_string(m_recordIndex + (outcome.nak ? 1 : 0));
    if (file)
        event.append("/").append(std::to_string(file->records.size()));
    return event + " ok (" + std::to_string(record.size()) + " bytes)";
}

std::string BoxSimulator::RefuseLocked(const std::vector<std::uint8_t>& record, const File* file,
                                       RecordOutcome& outcome) {
    ++m_mismatchesInRow;
    std::string where = file ? file->name + " record " + std::to_string(m_recordIndex + 1)
                             : "record after the last file";
    std::string expected = file && m_recordIndex < file->records.size()
                               ? std::to_string(file->records[m_recordIndex].size()) + " bytes"
                               : "none";
    std::string event = where + ": received " + std::to_string(record.size()) +
                        " bytes that differ from the file (expected " + expected + ")";
    m_report.errors.push_back(event);
    outcome.nak = file != nullptr;
    return event;
}

void BoxSimulator::FinishFile(const File& file, std::size_t filesCompleted, Clock::time_point now) {
    Event("file complete: " + file.name + " (" + std::to_string(file.records.size()) + " records)");
    ++m_fileIndex;
    m_fileDoneAt = now;
    // A box that serves round after round keeps only what the file in progress needs.
    if (m_options.repeat) {
        std::lock_guard lock(m_mutex);
        m_received.clear();
    }
    m_phase = Phase::Handshake;
    if (m_fileIndex < m_files.size())
        return;
    if (!m_options.repeat) {
        m_phase = Phase::Done;
        return;
    }

    Event("round " + std::to_string(filesCompleted / m_files.size()) +
          " complete: the files are expected again from the first");
    m_fileIndex = 0;
    m_roundPending = true;
}

bool BoxSimulator::StopAfterRecords(std::size_t recordsReceived) {
    recordsReceived -= m_recordsAtPowerOn;
    if (m_options.hangUpAfter && recordsReceived >= m_options.hangUpAfter) {
        m_phase = Phase::Silent;
        std::lock_guard lock(m_mutex);
        m_hangUpRequested = true;
        return true;
    }
    if (m_options.stopAfter && recordsReceived >= m_options.stopAfter) {
        m_phase = Phase::Silent;
        Event("stopped asking after " + std::to_string(recordsReceived) + " records");
        return true;
    }
    return false;
}

void BoxSimulator::GiveUp() {
    m_phase = Phase::Silent;
    {
        std::lock_guard lock(m_mutex);
        m_report.errors.push_back("gave up after " + std::to_string(m_mismatchesInRow) +
                                  " wrong records in a row");
    }
    Event("gave up: stopped asking");
}

BoxSimulator::ClientEvents BoxSimulator::ReadClientEvents() {
    ClientEvents result;
    if (!m_clientWatch.Valid())
        return result;
    bool clientClosed = false;
    bool reopened = false;
    // Reads every event waiting: opens and closes counted, a write after the count reached 0.
    auto drain = [&] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_clientWatch.Get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
                inotify_event event{};
                std::memcpy(&event, buffer + at, sizeof event);
                at += sizeof event + event.len;
                if (event.mask & IN_OPEN) {
                    ++m_clients;
                    reopened = reopened || result.letGo;
                }
                if ((event.mask & IN_MODIFY) && result.letGo)
                    result.writtenSince = true;
                // A close with no open seen is a client of before the watch: not counted.
                if ((event.mask & IN_CLOSE) && m_clients > 0) {
                    clientClosed = true;
                    if (--m_clients == 0)
                        result.letGo = true;
                }
            }
        }
    };
    drain();
    // inotify merges an event with the one before it when that one is identical and unread, so
    // two opens close together (a second program probing the port while the client holds it,
    // as Wine's services do) may read as one, and the count as none while a client still holds
    // the port. A close that no new open followed is checked against who holds the port. A
    // holder found there that is a new client has its open already queued (the event comes
    // before the descriptor exists): it is read now, and the client has let go and come back.
    if (clientClosed && !reopened && PortHeldByClient()) {
        drain();
        if (!reopened) {
            result.letGo = false;
            result.writtenSince = false;
            m_clients = std::max(m_clients, 1u);
        }
    } else if (clientClosed && !reopened) {
        result.letGo = true;
        m_clients = 0;
    }
    return result;
}

bool BoxSimulator::PortHeldByClient() const {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path slave = m_slavePath;
    const std::string self = std::to_string(::getpid());
    for (fs::directory_iterator process("/proc", error), end; !error && process != end;
         process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(process->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            if (pid == self && fd->path().filename().string() == std::to_string(m_slaveFd))
                continue; // the box's own
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) == slave && !linkError)
                return true;
        }
    }
    return false;
}

void BoxSimulator::PowerCycle() {
    if (!m_options.answerHandshake || m_phase == Phase::Done)
        return;
    const bool fresh = m_phase == Phase::Handshake && m_fileIndex == 0;
    m_phase = Phase::Handshake;
    m_record.clear();
    m_recordNeed = 0;
    m_askPending = false;
    m_awaitingResend = false;
    m_wakeUpsThisHandshake = 0;
    m_wakeUpsWaiting = 0;
    m_mismatchesInRow = 0;
    if (fresh)
        return;
    const std::size_t notArrived = m_files.size() - m_fileIndex;
    m_fileIndex = 0;
    {
        std::lock_guard lock(m_mutex);
        ++m_report.powerCycles;
        m_report.recordsInFile = 0;
        m_recordsAtPowerOn = m_report.recordsReceived;
        if (!m_roundPending)
            m_report.filesExpected -= notArrived;
        if (m_options.repeat)
            m_roundPending = true;
        else
            m_report.filesExpected += m_files.size();
        m_received.clear();
    }
    m_changed.notify_all();
    Event("power cycle: the client let go of the port; " +
          (m_files.empty() ? std::string("the box") : m_files.front().name) +
          " starts again at the next handshake");
}

void BoxSimulator::AskForNext(std::size_t recordBytes, bool nak, Clock::time_point now,
                              std::chrono::nanoseconds delay) {
    auto wire = delay;
    if (m_options.baud)
        wire += std::chrono::nanoseconds(static_cast<std::int64_t>(recordBytes) * 10 *
                                         1'000'000'000LL / m_options.baud);
    if (wire.count() == 0) {
        Request(nak ? kNak : kEnq);
    } else {
        m_askPending = true;
        m_askAt = now + wire;
    }
}

void BoxSimulator::Request(std::uint8_t byte) {
    m_lastRequestAt = Clock::now();
    m_wakeUpsWaiting = 0;
    m_naksInRow = byte == kNak ? m_naksInRow + 1 : 0;
    if (m_options.garbageEvery && ++m_requestCount % m_options.garbageEvery == 0)
        WriteAll(reinterpret_cast<const std::uint8_t*>(m_options.garbageBytes.data()),
                 m_options.garbageBytes.size());
    WriteAll(&byte, 1);
    if (byte == kEnq || byte == kNak) {
        std::lock_guard lock(m_mutex);
        ++m_report.requestsSent;
    }
    // A NAK storm (nakLast Always) tells of its first NAK only, unless every record is told.
    if (byte == kNak && m_naksInRow == 1)
        Event("NAK: asked for a resend");
    else if (byte == kNak && m_options.verbose)
        Event("NAK: asked for the same record again (" + std::to_string(m_naksInRow) +
              " times in a row)");
}

} // namespace sorvel::boxsim
