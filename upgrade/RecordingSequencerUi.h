// A front end's ISequencerUi that also records: every call goes to the front end's own UI, and
// the start and end of each sequence to a recorder as well (UpgradeRecorder.h). For a front end
// whose UI knows nothing of the record (sorvel-cli's console). The owner thread, as ISequencerUi.
#pragma once

#include "UpgradeRecorder.h"
#include "UpgradeSequencer.h"

#include <functional>
#include <string>
#include <utility>

namespace sorvel::record {

class CRecordingSequencerUi final : public ISequencerUi {
public:
    // ui and recorder must outlive this; context is the attempts' (its port is ui's).
    CRecordingSequencerUi(ISequencerUi& ui, CUpgradeRecorder& recorder, AttemptContext context)
        : m_ui(ui), m_recorder(recorder), m_context(std::move(context)) {}

    void OnSequenceStarted(BYTE mode, const CONFIG_INFO& config) override {
        m_context.port = m_ui.PortText();
        m_recorder.Begin(BeginAttempt(m_context, mode, config));
        m_ui.OnSequenceStarted(mode, config);
    }
    void OnSequenceEnded(const SequenceOutcome& outcome) override {
        // Before the front end hears of it: it may end the program at once.
        m_recorder.End(outcome);
        m_ui.OnSequenceEnded(outcome);
    }

    int ShowMessage(const std::string& text, unsigned flags) override {
        return m_ui.ShowMessage(text, flags);
    }
    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override {
        m_ui.ShowStagePrompt(text, flags, std::move(onAnswer));
    }
    void CloseStagePrompt() override { m_ui.CloseStagePrompt(); }
    void SetProgressBar(int nPos) override { m_ui.SetProgressBar(nPos); }
    void OnFileStarted(int index, int count, const std::string& path) override {
        m_ui.OnFileStarted(index, count, path);
    }
    void OnFileCompleted() override { m_ui.OnFileCompleted(); }
    std::string PortText() override { return m_ui.PortText(); }
    void EndDialog() override { m_ui.EndDialog(); }
    void Post(std::function<void()> task) override { m_ui.Post(std::move(task)); }

private:
    ISequencerUi& m_ui;
    CUpgradeRecorder& m_recorder;
    AttemptContext m_context;
};

} // namespace sorvel::record
