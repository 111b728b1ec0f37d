// The console as the upgrade sequencer's window system, for sorvel-cli.
//
// Messages and prompts go through the process's message box, where sorvel-cli installs the
// console presenter: each text is printed as it is, followed by a newline. A prompt with a choice
// then shows on a line of its own what to type ("[Enter = OK, anything else = Cancel]") and reads
// one line from standard input, or is answered Yes/OK at once with --yes, which the line says
// ("-> OK (--yes)"). A stage prompt that reads must not block the owner thread, which also
// watches for Ctrl-C: it is read on a thread of its own, which posts the answer back.
//
// Progress: on a terminal one line drawn in place, as wide as the terminal (ProgressLine.h): the
// file and its place in the sequence, while the box has not answered the seconds waited, then
// the percentage, rate and time left, ending at 100 % when the file is through. Elsewhere (a
// pipe, a file) each file has a line of the same words when it starts ("file 2 of 3:
// Cartridge1.urt"), then each change of the percentage prints one line "progress: N%", the last
// "progress: 100%" when the file is through; the return to 0 between files prints nothing.
//
// Threads: the owner thread is the one that runs the TaskQueue (sorvel-cli's main thread); Post
// may be called from any thread. The progress output has a lock of its own, and the console
// presenter ends the progress line through it before it prints, so that a message never lands
// in the middle of a progress line.
#pragma once

#include "MessageBox.h"
#include "ProgressLine.h"
#include "TaskQueue.h"
#include "ThreadAnnotations.h"
#include "UpgradeSequencer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace sorvel::cli {

// Progress output shared by the owner thread and the presenter's callers.
class ProgressOutput {
public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressOutput(bool terminal) : m_terminal(terminal) {}

    // Shows a new position when it differs from the last one shown. 0 ends the file's line.
    void Set(int nPos) EXCLUDES(m_mutex);
    // Ends a line being drawn, so that the next text starts on a line of its own.
    void EndLine() EXCLUDES(m_mutex);
    // A file starts (ISequencerUi::OnFileStarted): on a terminal, the line that waits for the
    // box's answer; elsewhere a line that names the file. path as the configuration names it,
    // relative to the working directory.
    void FileStarted(int index, int count, const std::string& path) EXCLUDES(m_mutex);
    // The file is through: on a terminal its line shows 100 % and ends; elsewhere
    // "progress: 100%", unless that was the last line.
    void FileCompleted() EXCLUDES(m_mutex);
    // The owner thread's timer: redraws the waiting line when its seconds change. Returns the
    // milliseconds until it wants to run again, -1 while nothing waits (the wait's time-out).
    int Tick() EXCLUDES(m_mutex);

private:
    void DrawLocked() REQUIRES(m_mutex);
    // Elsewhere than on a terminal: the line "progress: N%".
    void PrintPercentLocked(int percent) REQUIRES(m_mutex);
    void EndLineLocked() REQUIRES(m_mutex);
    // Rate and time left from the file's size and the progress since its first report.
    void EstimateLocked(Clock::time_point now) REQUIRES(m_mutex);

    sorvel::Mutex m_mutex;
    const bool m_terminal;
    int m_last GUARDED_BY(m_mutex) = 0;
    bool m_lineOpen GUARDED_BY(m_mutex) = false;
    int m_lineWidth GUARDED_BY(m_mutex) = 0; // visible columns of the line drawn last
    // The file being sent, on a terminal.
    ProgressLineState m_line GUARDED_BY(m_mutex);
    std::uintmax_t m_fileBytes GUARDED_BY(m_mutex) = 0; // 0 when its size is not known
    Clock::time_point m_startedAt GUARDED_BY(m_mutex);
    // The first progress report of the file: the rate counts from there, the wait before it is
    // the box's, not the line's.
    bool m_haveFirst GUARDED_BY(m_mutex) = false;
    Clock::time_point m_firstAt GUARDED_BY(m_mutex);
    int m_firstPercent GUARDED_BY(m_mutex) = 0;
};

// A console presenter (MakeConsolePresenter) that first ends a progress line, and shows after a
// prompt's text what to type, or the answer --yes gave.
MessagePresenter MakeCliPresenter(bool answerYes, std::shared_ptr<ProgressOutput> progress);

// A stage prompt on the console, for ConsoleUi and JsonUi: its answer reaches onAnswer through
// the queue, as a window's would. A prompt with a choice that --yes does not answer reads its line
// on a thread of its own (counted in readers while it waits), so that the owner thread stays free
// for Ctrl-C and the engine's notifications; that thread holds what it uses and may outlive its
// caller. Everything else is shown and answered at once.
void AskStagePrompt(const std::string& text, unsigned flags, bool answerYes,
                    const std::shared_ptr<TaskQueue>& queue,
                    const std::shared_ptr<std::atomic<int>>& readers,
                    std::function<void(int answer)> onAnswer);

class ConsoleUi final : public ISequencerUi {
public:
    ConsoleUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
              std::shared_ptr<ProgressOutput> progress);

    int ShowMessage(const std::string& text, unsigned flags) override;
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override;
    void CloseStagePrompt() override {} // printed text cannot be taken back; the answer is ignored
    void SetProgressBar(int nPos) override;
    void OnFileStarted(int index, int count, const std::string& path) override;
    void OnFileCompleted() override;
    std::string PortText() override { return m_port; }
    void EndDialog() override { m_ended = true; }
    void Post(std::function<void()> task) override;

    // True while a prompt's reader thread waits for a line of standard input.
    bool ReadingInput() const { return m_readers->load() != 0; }
    bool Ended() const { return m_ended; }

private:
    std::string m_port;
    bool m_answerYes;
    std::shared_ptr<TaskQueue> m_queue;
    std::shared_ptr<ProgressOutput> m_progress;
    std::shared_ptr<std::atomic<int>> m_readers = std::make_shared<std::atomic<int>>(0);
    bool m_ended = false;
};

} // namespace sorvel::cli
