// A simulated set-top box on a pseudo-terminal, for tests, benchmarks and manual runs.
//
// The simulator opens a pseudo-terminal pair and keeps its master side; the engine opens the
// slave side (SlavePath()) as its serial port. Once started, a thread of the simulator speaks the
// box's side of the upload protocol:
//
//   engine: 0x17 (repeated)     box: 0x06 ACK, then 0x05 ENQ for the first record
//   engine: record              box: 0x05 ENQ for the next record, or 0x15 NAK for a resend
//
// A record is read from the stream by its header (type 0x02, 24-bit big-endian length L, then
// L + 5 bytes) and compared with the expected upload files (Expect / ExpectBytes), in order.
// After the last record of a file the box waits for the next handshake and goes on with the
// next file. A new handshake while the box waits for a record (the engine restarted the upload
// or reconnected) starts the current file again. Faults are chosen with Options. Report() tells
// what arrived.
//
// A NAK asks for the record just received again; the box takes the resent copy in its place (or
// asks again). Besides a wrong record, the faults nakEvery (every n-th new record) and nakLast
// (the last record of each file, once or for ever) cause a NAK. With repeat the box takes the
// files again from the first once the last one is complete, so that one box serves several
// complete updates.
//
// With powerCycle the box is switched off and on whenever the program lets go of the port, as a
// real box is after a stopped upgrade: once every client that opened the port has closed it, the
// record being read and the bytes received are dropped, and the next handshake starts again at
// the first file. The box sees its clients come and go through the port's open and close events
// (inotify), which every client gives, those that never set the exclusive-open flag (Wine)
// included.
//
// Threads: every method may be called from any thread; Report() and the WaitFor helpers give a
// consistent snapshot. The simulator holds a descriptor of the slave side open for its whole
// life, so the engine may close and reopen the port; HangUp() (or the hang-up fault) closes the
// pair, which the engine sees as an unplugged adapter.
#pragma once

#include "StoppableThread.h"
#include "UniqueFd.h"
#include "UploadFormat.h"
#include "WakeEvent.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvel::boxsim {

// Protocol bytes.
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kWakeUp = 0x17;
// upload::kRecordType, the byte a record begins with, is in UploadFormat.h with the file format.

struct Options {
    // Answer the wake-up byte at all (false: the box stays silent for ever).
    bool answerHandshake = true;
    // Answer the n-th wake-up byte of a handshake (1: the first one).
    unsigned answerAfter = 1;
    // Ask for a resend (NAK) after every n-th new record; 0: never.
    unsigned nakEvery = 0;
    // Ask for a resend of the last record of each file when it arrives intact. Once: the first
    // intact copy each time the file is uploaded (from its handshake on) is refused and the
    // resend taken; when nakEvery picks the same copy, a single NAK serves both. Always: every
    // copy is refused, for ever (a NAK storm), and the file never completes. With no file
    // expected there is no last record and this does nothing.
    enum class NakLast { Never, Once, Always };
    NakLast nakLast = NakLast::Never;
    // How long the box takes before it asks for the last record again (a box that checks the
    // whole file before it answers); 0: as fast as for any record.
    std::chrono::milliseconds nakLastDelay{0};
    // Send garbageBytes before every n-th request (ACK, ENQ or NAK); 0: never.
    unsigned garbageEvery = 0;
    std::string garbageBytes = "BOX>";
    // With no file expected the box asks for records without end and accepts any record.
    // Stop asking once this many records were received in all; 0: never stop.
    unsigned stopAfter = 0;
    // Hang up (close the pseudo-terminal) once this many records were received; 0: never.
    unsigned hangUpAfter = 0;
    // Once the last file is complete, expect the files again from the first (after the next
    // handshake, as between files), round after round, instead of asking for nothing more. The
    // files of a round count in Report::filesExpected from the first record of that round on, so
    // AllIntact() tells whether every round begun arrived whole. Does nothing with no file.
    bool repeat = false;
    // Emulated line speed: wait the wire time of each record (10 bits a byte) before asking for
    // the next. 0: ask at once.
    unsigned baud = 0;
    // Switch the box off and on when its last client closes the port (see above). A box that has
    // every file (without repeat) stays done, and a silent one silent. stopAfter and hangUpAfter
    // count the records since the box was last switched on. The files of an unfinished round that
    // had not arrived are no longer expected; without repeat the files are expected once more in
    // full, with repeat from the first record of the next round on.
    bool powerCycle = false;
    // Called on the simulator's thread for each event worth telling a person ("record 3/10 ok").
    // Must not call back into the simulator.
    std::function<void(const std::string&)> onEvent;
    // Also report every record through onEvent, not only handshakes, files and faults.
    bool verbose = false;
};

struct Report {
    std::size_t filesExpected = 0;   // with Options::repeat: the files of every round begun
    std::size_t filesCompleted = 0;  // files whose every record arrived intact (every round)
    std::size_t recordsReceived = 0; // every record read from the line, matching or not
    std::size_t recordsVerified = 0; // records received and equal to the file (resends included)
    std::size_t recordsInFile = 0;   // records of the current file received so far
    std::size_t resends = 0;         // intact records received again after a NAK
    std::size_t strayBytes = 0;      // bytes outside records other than 0x17
    std::size_t wakeUps = 0;         // 0x17 bytes received
    std::size_t handshakesAnswered = 0;
    std::size_t requestsSent = 0; // ENQ and NAK
    std::size_t powerCycles = 0;  // times the box was switched off and on part-way (powerCycle)
    bool hungUp = false;
    std::vector<std::string> errors; // mismatched records and the like

    // Every expected file arrived intact and nothing went wrong.
    bool AllIntact() const { return errors.empty() && filesCompleted == filesExpected; }
};

class BoxSimulator {
public:
    // Opens the pseudo-terminal pair. Check Ok() / Error().
    explicit BoxSimulator(Options options = {});
    ~BoxSimulator();
    BoxSimulator(const BoxSimulator&) = delete;
    BoxSimulator& operator=(const BoxSimulator&) = delete;

    bool Ok() const { return m_opened; }
    const std::string& Error() const { return m_openError; }
    // The device path that the engine opens.
    const std::string& SlavePath() const { return m_slavePath; }

    // Adds an upload file to expect; false (and *error set) when it cannot be read or parsed.
    // Call before Start.
    bool Expect(const std::string& path, std::string* error = nullptr);
    bool ExpectBytes(const std::vector<std::uint8_t>& file, const std::string& name,
                     std::string* error = nullptr);

    // Starts and stops the box's thread. Stop is idempotent and called by the destructor.
    bool Start();
    void Stop();

    // Writes bytes to the engine now, from the calling thread.
    bool Send(const std::vector<std::uint8_t>& bytes);
    bool Send(const std::string& bytes);
    // Closes the pseudo-terminal pair: the engine sees a hang-up.
    void HangUp();

    Report GetReport() const;
    // Every byte the box has received so far, in order (with Options::repeat: since the last
    // file was complete, so that a box that serves round after round does not grow; with
    // Options::powerCycle: since the box was last switched on).
    std::vector<std::uint8_t> Received() const;
    // True while a program holds the port open with its exclusive-open flag set (TIOCEXCL), as
    // the engine does while it is connected.
    bool ClientHoldsPort() const;

    // Wait until the predicate holds on a report, or the time-out passes; true if it held.
    bool WaitFor(const std::function<bool(const Report&)>& predicate,
                 std::chrono::milliseconds timeout) const;
    bool WaitForFilesCompleted(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForWakeUps(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForRecords(std::size_t n, std::chrono::milliseconds timeout) const;
    // Waits until at least n bytes were received in all.
    bool WaitForReceived(std::size_t n, std::chrono::milliseconds timeout) const;
    // Wakes every WaitFor so that it looks at its predicate again (for predicates that also
    // look at state outside the report, such as a stop flag).
    void WakeWaiters() const;

private:
    struct File {
        std::string name;
        std::vector<std::vector<std::uint8_t>> records;
    };
    enum class Phase { Handshake, Streaming, Done, Silent };

    void Run(sorvel::StopContext& context);
    void HandleBytes(const std::uint8_t* bytes, std::size_t count,
                     std::chrono::steady_clock::time_point now);
    void AddRecordByte(std::uint8_t byte, std::chrono::steady_clock::time_point now);
    void HandleWakeUp(std::chrono::steady_clock::time_point now);
    void HandleRecord(std::chrono::steady_clock::time_point now);

    // What a record read from the line comes to.
    struct RecordOutcome {
        bool match = false;      // equal to the record expected (any record with no file)
        bool nak = false;        // to be asked for again
        bool fileDone = false;   // the file's last record, taken
        bool lastRecord = false; // the file's last record, taken or refused
        std::size_t recordsReceived = 0;
        std::size_t filesCompleted = 0; // with fileDone
    };
    // Counts the record in the report and tells of it; file is the current file, if any.
    RecordOutcome TakeRecord(const std::vector<std::uint8_t>& record, const File* file);
    // The report's side of a matching and of a wrong record, under m_mutex; the event to tell.
    std::string AcceptLocked(const std::vector<std::uint8_t>& record, const File* file,
                             RecordOutcome& outcome);
    std::string RefuseLocked(const std::vector<std::uint8_t>& record, const File* file,
                             RecordOutcome& outcome);
    // Goes on to the next file's handshake, the next round or the end.
    void FinishFile(const File& file, std::size_t filesCompleted,
                    std::chrono::steady_clock::time_point now);
    // Options::hangUpAfter and stopAfter; true when the box stops asking.
    bool StopAfterRecords(std::size_t recordsReceived);
    // Too many wrong records: the box stops asking.
    void GiveUp();
    // What the port's events since the last look tell: the last client that had the port open
    // has closed it, and a client wrote to it after that.
    struct ClientEvents {
        bool letGo = false;
        bool writtenSince = false;
    };
    ClientEvents ReadClientEvents();
    // Whether a descriptor other than the box's own has the port open, in any process.
    bool PortHeldByClient() const;
    // Options::powerCycle: the box as just switched on, at the first file.
    void PowerCycle();
    // ENQ (or NAK) once the record's wire time at Options::baud has passed.
    void AskForNext(std::size_t recordBytes, bool nak, std::chrono::steady_clock::time_point now,
                    std::chrono::nanoseconds delay = std::chrono::nanoseconds(0));
    // A client killed while it held the port leaves its exclusive-open flag set, since the box
    // keeps the slave side open; this clears it once no client holds the port's lock.
    void ReleaseStaleExclusiveOpen();
    void Request(std::uint8_t byte);
    bool WriteAll(const std::uint8_t* bytes, std::size_t count);
    void Event(const std::string& text);
    void CloseLocked();

    Options m_options;
    bool m_opened = false;
    std::string m_openError;
    std::string m_slavePath;
    // The pair's descriptors are closed only under m_writeMutex: by the box's thread while it
    // runs, else by the caller of HangUp or the destructor.
    mutable std::mutex m_writeMutex;
    int m_masterFd = -1;
    int m_slaveFd = -1; // held open so the engine may close and reopen the slave
    // Wakes the box's thread to look at a hang-up request.
    sorvel::WakeEvent m_request;
    // Options::powerCycle: the port's open, write and close events (inotify), read by the box's
    // thread.
    sorvel::UniqueFd m_clientWatch;
    std::vector<File> m_files;
    sorvel::StoppableThread m_thread; // started by Start, stopped by Stop

    // Everything below is guarded by m_mutex; m_changed is notified on every change.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Report m_report;
    std::vector<std::uint8_t> m_received;
    bool m_hangUpRequested = false;

    // Protocol state, touched only by the box's thread.
    Phase m_phase = Phase::Handshake;
    std::size_t m_fileIndex = 0;
    std::size_t m_recordIndex = 0;
    std::size_t m_newRecords = 0; // first receptions, for nakEvery
    unsigned m_wakeUpsThisHandshake = 0;
    bool m_awaitingResend = false;
    bool m_lastRecordRefused = false; // nakLast has refused this upload's last record
    unsigned m_naksInRow = 0;         // NAKs since the last ENQ or ACK
    bool m_roundPending = false;      // repeat: the next record begins a new round
    unsigned m_requestCount = 0;
    unsigned m_mismatchesInRow = 0;
    std::vector<std::uint8_t> m_record; // the record being read
    std::size_t m_recordNeed = 0;       // its full length once the header is in
    std::chrono::steady_clock::time_point m_askAt{};
    bool m_askPending = false;
    std::chrono::steady_clock::time_point m_fileDoneAt{};
    std::chrono::steady_clock::time_point m_lastRequestAt{};
    unsigned m_wakeUpsWaiting = 0; // 0x17 in a row since the last request or record
    std::chrono::steady_clock::time_point m_staleCheckAt{};
    unsigned m_clients = 0;             // clients that have the port open (Options::powerCycle)
    std::size_t m_recordsAtPowerOn = 0; // Report::recordsReceived when last switched on
};

} // namespace sorvel::boxsim
