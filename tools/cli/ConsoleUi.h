// The console as the upgrade sequencer's window system, for sorvel-cli.
//
// Messages and prompts go through the process's message box, where sorvel-cli installs the
// console presenter: each text is printed as it is, followed by a newline, and a prompt with a
// choice reads one line from standard input (or is answered Yes/OK at once with --yes). A stage
// prompt that reads must not block the owner thread, which also watches for Ctrl-C: it is read
// on a thread of its own, which posts the answer back. The progress bar is drawn on a terminal;
// elsewhere each change of the percentage prints one line "progress: N%".
//
// Threads: the owner thread is the one that runs the TaskQueue (sorvel-cli's main thread); Post
// may be called from any thread. The console presenter and the progress output share one lock,
// so that a message never lands in the middle of a bar.
#pragma once

#include "MessageBox.h"
#include "TaskQueue.h"
#include "UpgradeSequencer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace sorvel::cli {

// Progress output shared by the owner thread and the presenter's callers.
class ProgressOutput {
public:
    explicit ProgressOutput(bool terminal) : m_terminal(terminal) {}

    // Shows a new position when it differs from the last one shown.
    void Set(int nPos);
    // Ends a bar being drawn, so that the next text starts on a line of its own.
    void EndLine();

private:
    std::mutex m_mutex;
    const bool m_terminal;
    int m_last = 0;
    bool m_lineOpen = false;
};

// A console presenter (MakeConsolePresenter) that first ends a progress bar line.
MessagePresenter MakeCliPresenter(bool answerYes, std::shared_ptr<ProgressOutput> progress);

class ConsoleUi final : public ISequencerUi {
public:
    ConsoleUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
              std::shared_ptr<ProgressOutput> progress);

    int ShowMessage(const std::string& text, unsigned flags) override;
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override;
    void CloseStagePrompt() override {} // printed text cannot be taken back; the answer is ignored
    void SetProgressBar(int nPos) override;
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
