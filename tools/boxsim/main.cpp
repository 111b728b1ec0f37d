// sorvel-boxsim: a simulated set-top box on a pseudo-terminal, for manual uploads and scripts.
//
// Prints the path of the port to open as its first line of output, then what the box receives.
// Exit status: 0 when every upload file named arrived intact (with --repeat: in every round
// begun), 1 otherwise, 2 for a usage error.
#include "BoxSimulator.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

constexpr const char* kUsage = R"(Usage: sorvel-boxsim [options] [FILE...]

A simulated set-top box on a pseudo-terminal. Prints the port path to open as its first line,
answers the wake-up byte 0x17 with ACK 0x06, asks for each record with ENQ 0x05 and checks it
against the upload FILEs, one file after the other (each file after a new handshake). With no
FILE it accepts any records until interrupted. Exit status: 0 when every FILE arrived intact
(with --repeat: in every round begun), 1 otherwise, 2 for a usage error.

Options:
  --link PATH          also make PATH a symbolic link to the port (replaces an existing link)
  --silent             never answer the handshake
  --answer-after N     answer the N-th wake-up byte of each handshake (default 1)
  --nak-every N        ask for a resend (NAK 0x15) after every N-th record
  --nak-last once|always
                       ask for a resend of the last record of each file: once (each time the
                       file is uploaded; the resend is taken) or always (every copy, for ever:
                       a NAK storm, the file never completes)
  --garbage-every N    send garbage bytes before every N-th request
  --garbage TEXT       the garbage bytes (default "BOX>")
  --stop-after K       stop asking after K records
  --hang-up-after K    hang up (close the port) after K records
  --baud RATE          emulate a line of RATE baud: wait each record's wire time (10 bits a
                       byte) before asking for the next
  --timeout SECONDS    stop after SECONDS (exit 1 unless every FILE arrived intact)
  --keep-open          keep running after the last file until interrupted
  --repeat             after the last file expect the FILEs again from the first, round after
                       round, until interrupted or timed out (implies --keep-open); a round
                       begun must be completed for exit status 0
  -v, --verbose        print every record
  -q, --quiet          print only the port path and the summary
  -h, --help           show this help

Signals: SIGUSR1 hangs up the port at once (as an unplugged cable); SIGINT or SIGTERM ends the
box with its summary.
)";

std::optional<unsigned> ParseCount(const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

std::atomic<bool> g_interrupted{false};

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> files;
    std::string link;
    unsigned timeoutSeconds = 0;
    bool keepOpen = false;
    bool quiet = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "sorvel-boxsim: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        auto count = [&]() -> unsigned {
            const char* text = value();
            auto n = ParseCount(text);
            if (!n) {
                std::cerr << "sorvel-boxsim: " << arg << ": not a number: " << text << "\n";
                std::exit(2);
            }
            return *n;
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--link") {
            link = value();
        } else if (arg == "--silent") {
            options.answerHandshake = false;
        } else if (arg == "--answer-after") {
            options.answerAfter = count();
        } else if (arg == "--nak-every") {
            options.nakEvery = count();
        } else if (arg == "--nak-last") {
            std::string how = value();
            if (how == "once") {
                options.nakLast = Options::NakLast::Once;
            } else if (how == "always") {
                options.nakLast = Options::NakLast::Always;
            } else {
                std::cerr << "sorvel-boxsim: --nak-last: once or always, not " << how << "\n";
                return 2;
            }
        } else if (arg == "--garbage-every") {
            options.garbageEvery = count();
        } else if (arg == "--garbage") {
            options.garbageBytes = value();
        } else if (arg == "--stop-after") {
            options.stopAfter = count();
        } else if (arg == "--hang-up-after") {
            options.hangUpAfter = count();
        } else if (arg == "--baud") {
            options.baud = count();
        } else if (arg == "--timeout") {
            timeoutSeconds = count();
        } else if (arg == "--keep-open") {
            keepOpen = true;
        } else if (arg == "--repeat") {
            options.repeat = true;
            keepOpen = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::cerr << "sorvel-boxsim: unknown option " << arg << "\n" << kUsage;
            return 2;
        } else {
            files.push_back(arg);
        }
    }

    std::mutex outputMutex;
    if (!quiet) {
        options.onEvent = [&outputMutex](const std::string& text) {
            std::lock_guard lock(outputMutex);
            std::cout << "box: " << text << std::endl;
        };
    }

    // Signals are taken by one thread with sigwait, so every other thread runs with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    BoxSimulator box(options);
    if (!box.Ok()) {
        std::cerr << "sorvel-boxsim: cannot open a pseudo-terminal: " << box.Error() << "\n";
        return 1;
    }
    for (const auto& file : files) {
        std::string error;
        if (!box.Expect(file, &error)) {
            std::cerr << "sorvel-boxsim: " << error << "\n";
            return 2;
        }
    }
    if (!link.empty()) {
        std::error_code ec;
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec)))
            std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(box.SlavePath(), link, ec);
        if (ec) {
            std::cerr << "sorvel-boxsim: cannot link " << link << ": " << ec.message() << "\n";
            return 1;
        }
    }

    // The path goes out once the link exists, so a script that reads it can use either.
    {
        std::lock_guard lock(outputMutex);
        std::cout << box.SlavePath() << std::endl;
    }

    std::thread signalThread([&box, signals] {
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
    });
    signalThread.detach();

    box.Start();
    auto done = [&](const Report& r) {
        if (g_interrupted || r.hungUp)
            return true;
        if (!r.errors.empty() && !keepOpen)
            return true;
        return !keepOpen && !files.empty() && r.filesCompleted == r.filesExpected;
    };
    bool finished = timeoutSeconds ? box.WaitFor(done, std::chrono::seconds(timeoutSeconds))
                                   : box.WaitFor(done, std::chrono::hours(24 * 365));
    box.Stop();
    Report r = box.GetReport();

    if (!link.empty()) {
        std::error_code ec;
        std::filesystem::remove(link, ec);
    }
    {
        std::lock_guard lock(outputMutex);
        if (!finished)
            std::cout << "box: timed out after " << timeoutSeconds << " s" << std::endl;
        std::cout << "box: received " << r.filesCompleted << " of " << r.filesExpected
                  << " files intact, " << r.recordsReceived << " records (" << r.resends
                  << " resends), " << r.strayBytes << " stray bytes, " << r.wakeUps
                  << " wake-up bytes" << std::endl;
        if (options.repeat && !files.empty())
            std::cout << "box: complete rounds: " << r.filesCompleted / files.size() << " ("
                      << files.size() << " files each)" << std::endl;
        for (const auto& error : r.errors)
            std::cout << "box: error: " << error << std::endl;
    }
    // A box with no files to check only reports; with files it passes when all arrived.
    bool ok = files.empty() ? r.errors.empty() : r.AllIntact();
    std::fflush(stdout);
    std::_Exit(ok ? 0 : 1);
}
