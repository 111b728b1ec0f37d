// sorvel-boxsim: a simulated set-top box on a pseudo-terminal, for manual uploads and scripts.
//
// Prints the path of the port to open as its first line of output, then what the box receives.
// Exit status: 0 when every upload file named arrived intact (with --repeat: in every round
// begun), 1 otherwise, 2 for a usage error. With --write-upload-file it writes a sample upload
// file instead and ends.
#include "BoxSimulator.h"
#include "ToolOptions.h"
#include "UploadFormat.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using sorvel::boxsim::BoxSimulator;
using sorvel::boxsim::Options;
using sorvel::boxsim::Report;
using sorvel::tools::ToolCommandLine;

constexpr const char* kProgram = "sorvel-boxsim";
constexpr int kExitIntact = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = sorvel::tools::kExitUsage;

constexpr const char* kDescription =
    "A simulated set-top box on a pseudo-terminal. Prints the port path to open as its first "
    "line, answers the wake-up byte 0x17 with ACK 0x06, asks for each record with ENQ 0x05 and "
    "checks it against the upload FILEs, one file after the other (each file after a new "
    "handshake). With no FILE it accepts any records until interrupted. When the program lets go "
    "of the port (every program that opened it has closed it), the box is switched off and on as "
    "after a stopped upgrade: what it had of an unfinished upload is forgotten and the next "
    "handshake starts again at the first FILE. Once every FILE is in (without --keep-open), it "
    "keeps the line until the program closes the port, 3 s at most (all 3 s for a program that "
    "does not set the port's exclusive mode, such as one under Wine), then ends. Exit status: 0 "
    "when every FILE arrived intact (with --repeat: in every round begun; after a power cycle: "
    "every FILE again), 1 otherwise, 2 for a usage error."
    "\n\nWith --write-upload-file it writes an upload file for such a box instead and ends: N "
    "records of BYTES bytes each (type 0x02, length BYTES - 9), their contents from the seed (the "
    "same arguments give the same file); exit status 0 once it is written, 1 when it cannot be.";

constexpr const char* kFooter =
    "Signals: SIGUSR1 hangs up the port at once (as an unplugged cable); SIGINT or SIGTERM ends "
    "the box with its summary.";

// What --write-upload-file writes: records from 9 bytes (L = 0) to the largest the engine sends,
// 5100 bytes (L = 5091).
constexpr unsigned kMaxSampleRecords = 100000;
constexpr unsigned kMinRecordBytes = sorvel::upload::kRecordOverheadBytes;
constexpr unsigned kMaxRecordBytes = sorvel::upload::kMaxRecordBytes;

// --write-upload-file: an upload file to write instead of running the box.
struct SampleFile {
    std::string path;
    unsigned records = 0;
    unsigned recordBytes = 0;
    unsigned seed = 0;
};

// What the command line asks for.
struct Settings {
    Options box;
    std::vector<std::string> files;
    std::string link;
    unsigned timeoutSeconds = 0;
    bool keepOpen = false;
    bool quiet = false;
    SampleFile sample;
};

std::optional<unsigned> ParseCount(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// A count option's value: decimal digits for 0 to 4294967295 ("--baud: not a number: x").
const CLI::Validator& Count() {
    static const CLI::Validator count(
        [](const std::string& text) { return ParseCount(text) ? "" : "not a number: " + text; },
        "");
    return count;
}

void AddCount(CLI::App& app, const std::string& name, const std::string& valueName,
              unsigned& target, const std::string& description) {
    app.add_option(name, target, description)->check(Count())->option_text(valueName);
}

// The options of --write-upload-file.
void AddSampleFileOptions(CLI::App& app, SampleFile& sample) {
    app.add_option("--write-upload-file", sample.path,
                   "write an upload file to PATH and end (needs --records and --record-bytes)")
        ->option_text("PATH");
    AddCount(app, "--records", "N", sample.records, "the file's number of records (1 to 100000)");
    AddCount(app, "--record-bytes", "BYTES", sample.recordBytes,
             "the size of each record in all (" + std::to_string(kMinRecordBytes) + " to " +
                 std::to_string(kMaxRecordBytes) + ")");
    AddCount(app, "--seed", "S", sample.seed,
             "the number the records' contents follow from (default 0)");
}

// What is wrong with the options of --write-upload-file, if anything.
std::optional<std::string> CheckSampleFile(const CLI::App& app, const Settings& s) {
    const bool write = !s.sample.path.empty();
    for (const char* name : {"--records", "--record-bytes", "--seed"}) {
        if (!write && app.count(name) > 0)
            return std::string(name) + " needs --write-upload-file";
    }
    if (!write)
        return std::nullopt;
    if (!s.files.empty())
        return "--write-upload-file takes no FILE ('" + s.files.front() + "')";
    if (s.sample.records < 1 || s.sample.records > kMaxSampleRecords)
        return "--records: give 1 to " + std::to_string(kMaxSampleRecords) + " records";
    if (s.sample.recordBytes < kMinRecordBytes || s.sample.recordBytes > kMaxRecordBytes)
        return "--record-bytes: give " + std::to_string(kMinRecordBytes) + " to " +
               std::to_string(kMaxRecordBytes) + " bytes";
    return std::nullopt;
}

// The command line into settings; an exit status when the program ends at once.
std::optional<int> ParseArguments(int argc, char** argv, Settings& s) {
    ToolCommandLine commandLine(kProgram,
                                "sorvel-boxsim [options] [FILE...]\n"
                                "       sorvel-boxsim --write-upload-file PATH --records N "
                                "--record-bytes BYTES [--seed S]",
                                kDescription, kFooter);
    CLI::App& app = commandLine.App();
    app.add_option("--link", s.link,
                   "also make PATH a symbolic link to the port (replaces an existing link)")
        ->option_text("PATH");
    app.add_flag_callback(
        "--silent", [&s] { s.box.answerHandshake = false; }, "never answer the handshake");
    AddCount(app, "--answer-after", "N", s.box.answerAfter,
             "answer the N-th wake-up byte of each handshake (default 1)");
    AddCount(app, "--nak-every", "N", s.box.nakEvery,
             "ask for a resend (NAK 0x15) after every N-th record");
    app.add_option_function<std::string>(
           "--nak-last",
           [&s](const std::string& how) {
               s.box.nakLast = how == "once" ? Options::NakLast::Once : Options::NakLast::Always;
           },
           "ask for a resend of the last record of each file: once (each time the file is "
           "uploaded; the resend is taken) or always (every copy, for ever: a NAK storm, the "
           "file never completes)")
        ->check(CLI::Validator(
            [](const std::string& how) {
                return how == "once" || how == "always" ? "" : "once or always, not " + how;
            },
            ""))
        ->option_text("once|always");
    app.add_option_function<unsigned>(
           "--nak-last-delay",
           [&s](unsigned ms) { s.box.nakLastDelay = std::chrono::milliseconds(ms); },
           "wait MS milliseconds before asking for the last record again (with --nak-last: a "
           "box that checks the whole file before it answers)")
        ->option_text("MS");
    AddCount(app, "--garbage-every", "N", s.box.garbageEvery,
             "send garbage bytes before every N-th request");
    app.add_option("--garbage", s.box.garbageBytes, "the garbage bytes (default \"BOX>\")")
        ->option_text("TEXT");
    AddCount(app, "--stop-after", "K", s.box.stopAfter,
             "stop asking after K records (counted since the box was switched on: a power cycle "
             "brings it back)");
    AddCount(app, "--hang-up-after", "K", s.box.hangUpAfter,
             "hang up (close the port) after K records since the box was switched on");
    AddCount(app, "--baud", "RATE", s.box.baud,
             "emulate a line of RATE baud: wait each record's wire time (10 bits a byte) before "
             "asking for the next");
    AddCount(app, "--timeout", "SECONDS", s.timeoutSeconds,
             "stop after SECONDS (exit 1 unless every FILE arrived intact)");
    app.add_flag("--keep-open", s.keepOpen, "keep running after the last file until interrupted");
    app.add_flag_callback(
        "--repeat",
        [&s] {
            s.box.repeat = true;
            s.keepOpen = true;
        },
        "after the last file expect the FILEs again from the first, round after round, until "
        "interrupted or timed out (implies --keep-open); a round begun must be completed for "
        "exit status 0 (of a round cut short by a power cycle, the files it had in)");
    app.add_flag("-v,--verbose", s.box.verbose, "print every record");
    app.add_flag("-q,--quiet", s.quiet, "print only the port path and the summary");
    AddSampleFileOptions(app, s.sample);
    app.add_option("FILE", s.files);

    if (auto status = commandLine.Parse(argc, argv, std::cout, std::cerr))
        return status;
    if (auto leftover = sorvel::tools::Leftover(app))
        return sorvel::tools::UsageError(std::cerr, kProgram,
                                         sorvel::tools::DescribeLeftover(*leftover));
    if (auto problem = CheckSampleFile(app, s))
        return sorvel::tools::UsageError(std::cerr, kProgram, *problem);
    return std::nullopt;
}

// Writes the sample upload file; the exit status.
int WriteSampleFile(const SampleFile& sample) {
    const auto bytes =
        sorvel::upload::MakeSampleFile(sample.records, sample.recordBytes, sample.seed);
    std::ofstream out(sample.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "sorvel-boxsim: cannot write " << sample.path << ": " << std::strerror(errno)
                  << "\n";
        return kExitFailed;
    }
    return kExitIntact;
}

// Signals are taken by one thread with sigwait, so every other thread runs with them blocked:
// blocked here, before any thread starts, every thread inherits the mask.
sigset_t BlockSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

std::atomic<bool> g_interrupted{false};

// SIGUSR1 hangs up the port; any other of the signals ends the wait.
void StartSignalThread(BoxSimulator& box, sigset_t signals) {
    std::thread([&box, signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0)
                continue;
            if (signal == SIGUSR1) {
                box.HangUp(); // an unplugged cable, on request
                continue;
            }
            g_interrupted = true;
            box.WakeWaiters();
            return;
        }
    }).detach();
}

// The files to expect and the link to the port; an exit status when the box cannot run.
std::optional<int> Prepare(BoxSimulator& box, const Settings& s) {
    if (!box.Ok()) {
        std::cerr << "sorvel-boxsim: cannot open a pseudo-terminal: " << box.Error() << "\n";
        return kExitFailed;
    }
    for (const auto& file : s.files) {
        std::string error;
        if (!box.Expect(file, &error)) {
            std::cerr << "sorvel-boxsim: " << error << "\n";
            return kExitUsage;
        }
    }
    if (!s.link.empty()) {
        std::error_code ec;
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(s.link, ec)))
            std::filesystem::remove(s.link, ec);
        std::filesystem::create_symlink(box.SlavePath(), s.link, ec);
        if (ec) {
            std::cerr << "sorvel-boxsim: cannot link " << s.link << ": " << ec.message() << "\n";
            return kExitFailed;
        }
    }
    return std::nullopt;
}

// A box that has every file keeps its line for a moment: the program counts a file as delivered
// only once the last record's window has passed without a request to send it again (a second
// at least, two at most when the box was slow to answer), and a line that goes away before that
// is a failure to it. The box lets go at once when the program has closed the port (it clears
// the exclusive-open flag when it does), else after kLingerAfterLastFile; a program that does
// not set the flag (under Wine) gets the whole time.
constexpr auto kLingerAfterLastFile = std::chrono::seconds(3);

void KeepLineAfterLastFile(BoxSimulator& box) {
    const bool flagged = box.ClientHoldsPort();
    const auto until = std::chrono::steady_clock::now() + kLingerAfterLastFile;
    while (!g_interrupted && std::chrono::steady_clock::now() < until) {
        if (flagged && !box.ClientHoldsPort())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Runs the box until it is done (every file in, a fault, a signal) or the time-out; false after
// the time-out.
bool Serve(BoxSimulator& box, const Settings& s) {
    auto done = [&s](const Report& r) {
        if (g_interrupted || r.hungUp)
            return true;
        if (!r.errors.empty() && !s.keepOpen)
            return true;
        return !s.keepOpen && !s.files.empty() && r.filesCompleted == r.filesExpected;
    };
    box.Start();
    bool finished = s.timeoutSeconds ? box.WaitFor(done, std::chrono::seconds(s.timeoutSeconds))
                                     : box.WaitFor(done, std::chrono::hours(24 * 365));
    if (finished && !g_interrupted && box.GetReport().AllIntact())
        KeepLineAfterLastFile(box);
    box.Stop();
    return finished;
}

void PrintSummary(const Report& r, const Settings& s, bool finished) {
    if (!finished)
        std::cout << "box: timed out after " << s.timeoutSeconds << " s" << std::endl;
    std::cout << "box: received " << r.filesCompleted << " of " << r.filesExpected
              << " files intact, " << r.recordsReceived << " records (" << r.resends
              << " resends), " << r.strayBytes << " stray bytes, " << r.wakeUps << " wake-up bytes"
              << std::endl;
    if (s.box.repeat && !s.files.empty())
        std::cout << "box: complete rounds: " << r.filesCompleted / s.files.size() << " ("
                  << s.files.size() << " files each)" << std::endl;
    if (r.powerCycles != 0)
        std::cout << "box: power cycles part-way: " << r.powerCycles << std::endl;
    for (const auto& error : r.errors)
        std::cout << "box: error: " << error << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    settings.box.powerCycle = true;
    if (auto status = ParseArguments(argc, argv, settings))
        return *status;
    if (!settings.sample.path.empty())
        return WriteSampleFile(settings.sample);

    std::mutex outputMutex;
    if (!settings.quiet) {
        settings.box.onEvent = [&outputMutex](const std::string& text) {
            std::lock_guard lock(outputMutex);
            std::cout << "box: " << text << std::endl;
        };
    }
    const sigset_t signals = BlockSignals();
    BoxSimulator box(settings.box);
    if (auto status = Prepare(box, settings))
        return *status;
    // The path goes out once the link exists, so a script that reads it can use either.
    {
        std::lock_guard lock(outputMutex);
        std::cout << box.SlavePath() << std::endl;
    }
    StartSignalThread(box, signals);

    const bool finished = Serve(box, settings);
    const Report report = box.GetReport();
    if (!settings.link.empty()) {
        std::error_code ec;
        std::filesystem::remove(settings.link, ec);
    }
    {
        std::lock_guard lock(outputMutex);
        PrintSummary(report, settings, finished);
    }
    // A box with no files to check only reports; with files it passes when all arrived.
    const bool ok = settings.files.empty() ? report.errors.empty() : report.AllIntact();
    // The signal thread may still wait in sigwait with the box: end without destructors.
    std::fflush(stdout);
    std::_Exit(ok ? kExitIntact : kExitFailed);
}
