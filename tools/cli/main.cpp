// sorvel-cli: the upgrade without a window, for scripts and headless machines.
//
// Loads the configuration from a folder as the dialog program does at start-up, then runs the
// same sequence as "Start Upload" with the same messages and prompts, on the console. See
// kDescription.
#include "CliSystem.h"
#include "ConfigFile.h"
#include "ConsoleUi.h"
#include "JsonEvents.h"
#include "MessageBox.h"
#include "RecordingSequencerUi.h"
#include "SorvelVersion.h"
#include "TaskQueue.h"
#include "ToolOptions.h"
#include "UpgradeRecordFile.h"
#include "UpgradeSequencer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace {

constexpr const char* kProgram = "sorvel-cli";
constexpr int kExitUpdated = 0;
constexpr int kExitFailed = 1;

constexpr const char* kDescription =
    "Runs the set-top box upgrade of folder DIR (default: the current folder) without a window, "
    "as the dialog program's \"Start Upload\" does. The configuration "
    "DIR/Ressources/Configuration.zkf is loaded and checked first, with the program's "
    "messages.\n"
    "\n"
    "Every message and prompt is printed as it is. A prompt then shows what to type and reads "
    "one line: empty, \"y\", \"yes\" or \"ok\" answer OK/Yes; anything else, or the end of "
    "input, answers Cancel/No and stops the upgrade. On a terminal one line, as wide as the "
    "terminal, shows the file being sent (\"file 2 of 3: Cartridge1.urt\"), the seconds waited "
    "for the box to answer, then the percentage, rate and time left; elsewhere a line names each "
    "file as it starts, in the same words, then progress is one line \"progress: N%\" per "
    "change, ending at 100% when the file is through.";

constexpr const char* kFooter =
    "Exit status: 0 when the box was updated (the final message was shown), 1 when the upgrade "
    "stopped or failed (Ctrl-C included: the upload is cancelled and the port closed), 2 for "
    "wrong usage.";

struct Options {
    std::string port;
    std::optional<BYTE> mode;
    bool answerYes = false;
    bool json = false; // events as JSON lines on standard output (JsonEvents.h)
    std::string dir = ".";
    std::string trace;  // the protocol trace's file, "" for none
    std::string record; // the upgrade record's file, "" for none
    std::string unit;   // the unit's label for the record
};

int UsageError(const std::string& text) {
    return sorvel::tools::UsageError(std::cerr, kProgram, text);
}

// The command line into options; an exit status when the program ends at once.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
    sorvel::tools::ToolCommandLine commandLine(
        kProgram,
        "sorvel-cli --port NAME [--mode complete|sti|cartridge] [--yes] [--trace FILE] "
        "[--record FILE] [--unit TEXT] [--json] [DIR]",
        kDescription, kFooter);
    CLI::App& app = commandLine.App();
    CLI::Option* port =
        app.add_option("--port", options.port, sorvel::cli::kPortHelp)->option_text("NAME");
    std::string mode;
    CLI::Option* modeOption =
        app.add_option("--mode", mode,
                       "complete (STI file and both cartridge files), sti (the STI file only) or "
                       "cartridge (both cartridge files); default: complete when the "
                       "configuration names cartridge files, else sti")
            ->option_text("MODE");
    app.add_flag("-y,--yes", options.answerYes, "answer OK/Yes to every prompt without reading");
    app.add_option("--trace", options.trace,
                   "append a timestamped line for every protocol event (port, wake-up, ACK, "
                   "each ENQ and NAK with its record, bytes from the box, time-outs) to FILE; "
                   "the same as SORVEL_TRACE=FILE for any program of the engine")
        ->option_text("FILE");
    CLI::Option* record =
        app.add_option("--record", options.record,
                       "append the upgrade's record, one JSON line, to FILE ('' for none); "
                       "default: SORVEL_RECORD, else the user's record file")
            ->option_text("FILE");
    app.add_option("--unit", options.unit,
                   "the unit's label (serial number, bench slot) for the upgrade's record")
        ->option_text("TEXT");
    app.add_flag("--json", options.json,
                 "print the upgrade as events on standard output, one JSON object per line "
                 "(config, file-started, waiting, progress, file-completed, prompt, message, "
                 "result), and nothing else there; prompts read \"ok\"/\"cancel\" or "
                 "\"yes\"/\"no\" from standard input as without it");
    std::vector<std::string> dirs;
    app.add_option("DIR", dirs);

    if (auto status = commandLine.Parse(argc, argv, std::cout, std::cerr))
        return status;
    if (auto leftover = sorvel::tools::Leftover(app))
        return UsageError(sorvel::tools::DescribeLeftover(*leftover));
    if (modeOption->count() > 0) {
        options.mode = sorvel::record::ModeFromName(mode);
        if (!options.mode)
            return UsageError("unknown mode '" + mode + "' (complete, sti or cartridge)");
    }
    if (dirs.size() > 1)
        return UsageError("more than one folder given: '" + dirs[0] + "' and '" + dirs[1] + "'");
    if (!dirs.empty())
        options.dir = dirs.front();
    if (port->count() == 0)
        return UsageError("--port NAME is required");
    if (record->count() == 0)
        options.record = sorvel::record::DefaultRecordPath();
    if (!options.record.empty()) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(options.record, error);
        if (error)
            return UsageError("--record: " + error.message());
        options.record = absolute.string();
    }
    if (!options.trace.empty()) {
        // Named from where the program was started, before it moves into DIR.
        std::error_code error;
        const auto absolute = std::filesystem::absolute(options.trace, error);
        if (error)
            return UsageError("--trace: " + error.message());
        // The engine opens its trace from the environment when it connects.
        if (const std::string failed =
                sorvel::cli::SetEnvironment("SORVEL_TRACE", absolute.string());
            !failed.empty())
            return UsageError("--trace: " + failed);
    }
    return std::nullopt;
}

// Loads the configuration of the working directory, as the dialog does at start-up, and picks
// the mode; an exit status when there is nothing to upload.
std::optional<int> LoadConfiguration(const Options& options, CONFIG_INFO& config, BYTE& mode) {
    const BYTE configResult = CConfigFile(".").Load(&config);
    if (configResult == CONFIG_NONE) {
        std::cerr << "sorvel-cli: the configuration did not load; nothing was uploaded"
                  << std::endl;
        return kExitFailed;
    }
    mode = options.mode.value_or(DefaultUpdateMode(configResult));
    if (configResult == CONFIG_STI_ONLY && mode != MODE_STI_ONLY)
        return UsageError("--mode " + sorvel::record::ModeName(mode) +
                          " needs cartridge files, and this configuration names only the STI "
                          "file");
    return std::nullopt;
}

// Runs the sequence of "Start Upload" in mode on the queue's thread (this one) until it ends or
// stop is requested; the exit status. progress: ProgressOutput, or JsonUi with --json.
template <typename Progress>
int RunUpgrade(ISequencerUi& ui, sorvel::TaskQueue& queue, Progress& progress, CONFIG_INFO& config,
               BYTE mode, const sorvel::cli::StopSignal& stop) {
    int status = kExitFailed;
    CUpgradeSequencer sequencer(ui, config);
    if (mode == MODE_COMPLETE)
        sequencer.OnCompleteUpdate();
    else if (mode == MODE_CARTRIDGE_ONLY)
        sequencer.OnOnlyCartridge();
    else
        sequencer.OnOnlySti();

    bool started = false;
    bool done = false;
    // After each task: the sequence ended well (final message), failed to start, or stopped
    // where the dialog's user would press "Cancel Upload", which ends it here.
    auto checkEnd = [&] {
        if (!started)
            return;
        if (sequencer.SequenceCompleted()) {
            status = kExitUpdated;
            done = true;
        } else if (g_nUploadState.load() == STATE_IDLE) {
            done = true;
        } else if (g_nUploadState.load() == STATE_STOPPED) {
            sequencer.OnCancelUpload(); // silent: cancel, disconnect
            done = true;
        }
    };
    queue.Post([&] {
        started = true;
        sequencer.OnStartUpload();
    });
    while (!done) {
        // While the box has not answered, the wait wakes up each second to count it.
        int timeoutMs = progress.Tick();
        if (queue.WakeFd() == sorvel::kNoWaitHandle) {
            // Without its wake-up the queue is looked at every few milliseconds instead.
            constexpr int kQueuePeriodMs = 10;
            timeoutMs = timeoutMs < 0 ? kQueuePeriodMs : std::min(timeoutMs, kQueuePeriodMs);
        }
        const sorvel::cli::WaitResult ready =
            sorvel::cli::WaitForWakeOrStop(queue.WakeFd(), stop, timeoutMs);
        if (ready == sorvel::cli::WaitResult::Failed)
            break;
        if (ready == sorvel::cli::WaitResult::Stop) {
            // What the box holds is known before the stop lets go of the port.
            const std::string advice = sequencer.NextStepLine();
            sequencer.Abort();
            progress.EndLine();
            std::cerr << "sorvel-cli: interrupted; the upload was stopped and the port closed\n"
                      << advice << std::endl;
            status = kExitFailed;
            break;
        }
        // One task at a time, so that the end is seen before anything else runs.
        queue.RunUntil(
            [&] {
                checkEnd();
                return done;
            },
            std::chrono::milliseconds(0));
    }
    progress.EndLine();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = ParseArguments(argc, argv, options))
        return *status;

    // A closed pipe on standard output must end a write with an error, not the process.
    sorvel::cli::IgnoreBrokenPipe();
    // Before any other thread starts (StopSignal).
    const sorvel::cli::StopSignal stop;
    if (!stop.Valid()) {
        std::cerr << "sorvel-cli: cannot watch for Ctrl-C: " << stop.Error() << std::endl;
        return kExitFailed;
    }

    auto progress = std::make_shared<sorvel::cli::ProgressOutput>(sorvel::cli::StdoutIsTerminal());
    std::shared_ptr<sorvel::cli::JsonEventWriter> events;
    sorvel::MessagePresenter presenter;
    if (options.json) {
        events = std::make_shared<sorvel::cli::JsonEventWriter>(stdout);
        presenter = sorvel::cli::MakeJsonPresenter(options.answerYes, events);
    } else {
        presenter = sorvel::cli::MakeCliPresenter(options.answerYes, progress);
    }
    // The loader's last message is the reason of a run whose configuration did not load. Read
    // only before any other thread starts; later messages are not kept.
    auto lastMessage = std::make_shared<std::string>();
    auto keeping = std::make_shared<bool>(true);
    sorvel::SetMessagePresenter(
        [presenter, lastMessage, keeping](const sorvel::MessageRequest& request) {
            if (*keeping)
                *lastMessage = request.text;
            return presenter(request);
        });

    // The program runs in its upgrade's folder: the configuration and the upload paths it names
    // are relative to the working directory.
    std::error_code folderError;
    std::filesystem::current_path(options.dir, folderError);
    if (folderError)
        return UsageError("cannot use folder '" + options.dir + "': " + folderError.message());

    CONFIG_INFO config;
    BYTE mode = MODE_NONE;
    auto queue = std::make_shared<sorvel::TaskQueue>();
    // With --json every run past its command line ends with a result event.
    std::optional<sorvel::cli::JsonUi> json;
    if (events)
        json.emplace(options.port, options.answerYes, queue, events);
    // Before the configuration loads: a run that fails there is an attempt that is recorded too.
    sorvel::record::CUpgradeRecorder recorder(options.record, [](const std::string& text) {
        std::cerr << kProgram << ": " << text << std::endl;
    });
    const sorvel::record::AttemptContext context{
        kProgram,     sorvel::kVersion,
        options.port, sorvel::record::CurrentFolder(),
        options.unit, sorvel::record::TraceFromEnvironment()};
    if (auto status = LoadConfiguration(options, config, mode)) {
        if (*status != sorvel::tools::kExitUsage) {
            sorvel::record::UpgradeAttempt attempt =
                sorvel::record::BeginAttempt(context, MODE_NONE, config);
            attempt.outcome = sorvel::record::OutcomeName(UpgradeResult::Failed);
            attempt.failureClass = sorvel::record::FailureClassName(FailureClass::Configuration);
            attempt.reason = *lastMessage;
            recorder.Record(std::move(attempt));
            if (json)
                json->Finish(*status,
                             recorder.LastRecorded() ? &*recorder.LastRecorded() : nullptr);
        }
        ReleaseConfigStrings(&config);
        return *status;
    }
    *keeping = false;
    if (json)
        json->ConfigLoaded(config, mode);
    sorvel::cli::ConsoleUi console(options.port, options.answerYes, queue, progress);
    ISequencerUi& ui = json ? static_cast<ISequencerUi&>(*json) : console;
    sorvel::record::CRecordingSequencerUi recordingUi(ui, recorder, context);
    const int status = json ? RunUpgrade(recordingUi, *queue, *json, config, mode, stop)
                            : RunUpgrade(recordingUi, *queue, *progress, config, mode, stop);
    // A sequence stopped by Ctrl-C ended without its record: it is written now.
    recorder.EndWithProgram();
    if (json)
        json->Finish(status, recorder.LastRecorded() ? &*recorder.LastRecorded() : nullptr);
    ReleaseConfigStrings(&config);
    std::cout.flush();
    if (json ? json->ReadingInput() : console.ReadingInput()) {
        // A prompt's reader still waits for a line that will not come (Ctrl-C during a prompt).
        // The upload is stopped and the port closed; end without waiting for it. Only the
        // output streams are flushed: the reader holds standard input's lock.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
