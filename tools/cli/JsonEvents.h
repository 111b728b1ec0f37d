// sorvel-cli --json: the upgrade as a stream of events, one JSON object per line on standard
// output, for scripts and for the station that drives one sorvel-cli per box.
//
// Every line is one whole object: {"event":NAME,"schema":1,"time":"2026-12-10T09:41:17.120Z",
// ...}. "schema" is the version of the event stream (kEventSchema): a reader that meets a schema
// it does not know stops reading. The events, their fields and examples are in
// docs/cli-json-events.md: config, file-started, waiting, progress, file-completed, prompt,
// message, and result, the last line of every run that got past its command line.
//
// Prompts are answered as on the console: one line of standard input, "ok" or "yes" (also empty
// or "y") for OK/Yes, anything else ("cancel", "no") or the end of input for Cancel/No; --yes
// answers them without reading.
//
// Threads. JsonEventWriter::Emit may be called from any thread: each line is written whole with
// one write and flushed under the writer's lock, so that lines of several threads never mix
// (the presenter's messages may come from the engine's threads and from a prompt's reader). A
// prompt's answer is read outside that lock. JsonUi lives on the sequencer's owner thread (the
// task queue's), as ConsoleUi does, and reads standard input on a thread of its own.
#pragma once

#include "MessageBox.h"
#include "TaskQueue.h"
#include "UpgradeRecord.h"
#include "UpgradeSequencer.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sorvel::cli {

// The version of the event stream, the "schema" field of every event.
constexpr int kEventSchema = 1;

// Writes events as lines to a stream (standard output).
class JsonEventWriter {
public:
    explicit JsonEventWriter(std::FILE* out) : m_out(out) {}

    // Writes {"event":name,"schema":1,"time":now, ...fields} as one line and flushes it. Texts
    // that are no valid UTF-8 (version texts of a configuration written elsewhere) have their
    // bad bytes replaced, never dropping the event. Any thread.
    void Emit(const std::string& name, const nlohmann::ordered_json& fields = {});
    // The last "message" text emitted (the reason of a failure that no sequence reported).
    std::string LastMessage() const;
    void SetLastMessage(const std::string& text);

private:
    mutable std::mutex m_mutex;
    std::FILE* m_out;
    std::string m_lastMessage;
};

// A presenter for the process's message box: a message with a choice (MB_OKCANCEL, MB_YESNO)
// becomes a "prompt" event and reads its answer from standard input (or takes OK/Yes at once
// with answerYes); every other message a "message" event. Prompts of several threads are asked
// one after the other.
MessagePresenter MakeJsonPresenter(bool answerYes, std::shared_ptr<JsonEventWriter> events);

// The upload files of a mode, in the order they are sent: the configured path and the
// configuration's CRC-32 of each; size and records (the header's count) read from the file, 0
// when it does not read.
std::vector<sorvel::record::RecordedFile> FilesOfMode(const CONFIG_INFO& config, BYTE mode);

// The console as the sequencer's window system, speaking in events.
class JsonUi final : public ISequencerUi {
public:
    using Clock = std::chrono::steady_clock;

    JsonUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
           std::shared_ptr<JsonEventWriter> events);

    // The "config" event for the loaded configuration and the mode chosen, in the upgrade's
    // folder (the working directory).
    void ConfigLoaded(const CONFIG_INFO& config, BYTE mode);
    // The "result" event, once, with the exit status the program ends with: the record of the
    // run as the sequence reported its end, or, when it reported none (the configuration did
    // not load, Ctrl-C before anything started), as the status says.
    // recorded: the run's record as the recorder wrote it, when it wrote one; the result then
    // carries the same fields.
    void Finish(int exitStatus, const sorvel::record::UpgradeAttempt* recorded = nullptr);

    int ShowMessage(const std::string& text, unsigned flags) override;
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override;
    void CloseStagePrompt() override {} // an event cannot be taken back; the answer is ignored
    void SetProgressBar(int nPos) override;
    void OnFileStarted(int index, int count, const std::string& path) override;
    void OnFileCompleted() override;
    void OnSequenceEnded(const SequenceOutcome& outcome) override;
    std::string PortText() override { return m_port; }
    void EndDialog() override {}
    void Post(std::function<void()> task) override;

    // The owner thread's timer, as ProgressOutput::Tick: a "waiting" event each whole second
    // while the box has not answered a file's wake-up. The milliseconds until it wants to run
    // again, -1 while nothing waits.
    int Tick();
    // Nothing to end: every event is a line of its own (the main loop's ProgressOutput call).
    void EndLine() {}
    // True while a prompt's reader thread waits for a line of standard input.
    bool ReadingInput() const { return m_readers->load() != 0; }

private:
    // The record of this run, up to now.
    sorvel::record::UpgradeAttempt Attempt() const;

    std::string m_port;
    bool m_answerYes;
    std::shared_ptr<TaskQueue> m_queue;
    std::shared_ptr<JsonEventWriter> m_events;
    std::shared_ptr<std::atomic<int>> m_readers = std::make_shared<std::atomic<int>>(0);

    sorvel::record::UpgradeAttempt m_attempt;
    std::optional<SequenceOutcome> m_outcome;
    bool m_finished = false;

    // The file being sent.
    int m_index = 0;
    std::string m_path;
    std::uint64_t m_fileBytes = 0; // 0 when its size is not known
    Clock::time_point m_startedAt;
    bool m_waiting = false;
    int m_waitedSeconds = 0;
    int m_percent = 0; // the last percentage emitted for this file
    bool m_haveFirst = false;
    Clock::time_point m_firstAt;
    int m_firstPercent = 0;
};

} // namespace sorvel::cli
