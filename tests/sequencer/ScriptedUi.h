// A scripted window system for the upgrade sequencer's tests.
//
// The test's thread is the owner thread: it runs the sequencer's operations and, through Pump,
// the tasks that the engine's notifications and the prompt answers post. Every message and
// stage prompt is recorded. Button-handler messages are answered from a script (default: the
// positive answer). Stage prompts are answered through the queue, as a window would, from their
// own script (default: the positive answer), or held open until the test answers them.
#pragma once

#include "MessageBox.h"
#include "TaskQueue.h"
#include "UpgradeSequencer.h"

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sorvel::test {

struct UiEvent {
    enum Kind { Message, StagePrompt, ClosePrompt } kind;
    std::string text;
    unsigned flags = 0;
    bool operator==(const UiEvent&) const = default;
};

class ScriptedUi final : public ISequencerUi {
public:
    std::string port;
    // Answers of the next button-handler messages; then PositiveAnswer.
    std::deque<int> messageAnswers;
    // Answers of the next stage prompts; then PositiveAnswer, unless holdPrompts.
    std::deque<int> promptAnswers;
    bool holdPrompts = false;
    // Runs inside ShowMessage before it answers, as a modal box's event loop would run events.
    std::function<void()> whileMessageOpen;

    std::vector<UiEvent> events;
    std::vector<int> progress; // every position set, in order
    // The files started and completed, in order: "1 of 3: <path>", "completed".
    std::vector<std::string> files;
    int endDialogCalls = 0;
    // How each sequence ended, in order.
    std::vector<SequenceOutcome> outcomes;
    // The held prompt's answer function; stays callable after a close, to play a late answer.
    std::function<void(int)> heldAnswer;

    TaskQueue queue;

    int ShowMessage(const std::string& text, unsigned flags) override {
        events.push_back({UiEvent::Message, text, flags});
        if (whileMessageOpen)
            whileMessageOpen();
        return Take(messageAnswers, flags);
    }
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int)> onAnswer) override {
        events.push_back({UiEvent::StagePrompt, text, flags});
        if (holdPrompts && promptAnswers.empty()) {
            heldAnswer = std::move(onAnswer);
            return;
        }
        int answer = Take(promptAnswers, flags);
        queue.Post([onAnswer = std::move(onAnswer), answer] { onAnswer(answer); });
    }
    void CloseStagePrompt() override { events.push_back({UiEvent::ClosePrompt, "", 0}); }
    void SetProgressBar(int nPos) override { progress.push_back(nPos); }
    void OnFileStarted(int index, int count, const std::string& path) override {
        files.push_back(std::to_string(index) + " of " + std::to_string(count) + ": " + path);
    }
    void OnFileCompleted() override { files.push_back("completed"); }
    void OnSequenceEnded(const SequenceOutcome& outcome) override { outcomes.push_back(outcome); }
    std::string PortText() override { return port; }
    void EndDialog() override { ++endDialogCalls; }
    void Post(std::function<void()> task) override { queue.Post(std::move(task)); }

    // Answers the held prompt through the queue, as its window would.
    void AnswerHeld(int answer) {
        queue.Post([fn = heldAnswer, answer] { fn(answer); });
    }

    // Runs posted tasks until done() holds; false after the time-out. done() may look at
    // anything (a simulator's report too): it is checked after every task and every few
    // milliseconds.
    bool Pump(const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            queue.RunUntil(done, std::chrono::milliseconds(5));
        }
        return true;
    }
    // Runs the tasks already waiting, and those they post.
    void Drain() {
        while (queue.RunPending() != 0) {
        }
    }

    std::vector<std::string> Texts(UiEvent::Kind kind) const {
        std::vector<std::string> texts;
        for (const auto& e : events)
            if (e.kind == kind)
                texts.push_back(e.text);
        return texts;
    }
    std::size_t Count(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& e : events)
            n += e.text == text;
        return n;
    }

private:
    static int Take(std::deque<int>& answers, unsigned flags) {
        if (answers.empty())
            return PositiveAnswer(flags);
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace sorvel::test
