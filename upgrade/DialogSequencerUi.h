// The sequencer's window system for a dialog program: one shape for every toolkit's main dialog.
// The dialog gives its message presenter (stage prompts that do not block it), its call gate
// (tasks for its thread) and a few of its own operations; this adapter turns them into
// ISequencerUi. Every method but Post runs on the dialog's thread.
//
// What Dialog must have (the adapter is its friend, so they may be private):
//   Presenter()          the presenter: OpenPrompt(MessageRequest, onAnswer) -> PromptId,
//                        ClosePrompt(PromptId), type PromptId
//   CallGate()           a shared_ptr to its call gate: Post(task) from any thread
//   SetProgress(int)     the progress bar
//   PortText()           the port as the user chose or typed it
//   ReleaseConfigInfo(), EndDialog(int)
//   ShowStatus(text)     the status line below the progress bar (CUpgradeStatus decides it)
//   UpdateControls()     enables the controls for the upload state (CUpgradeDlgLogic decides)
//
// Every sequence leaves a record (UpgradeRecorder.h) in the user's record file, with the port
// text, the upgrade's folder (the working directory, where the dialog programs run) and the
// program's name and version; a record that cannot be written is said once on stderr.
//
// The status line follows the sequencer's hooks; the dialog calls Tick() about once a second so
// that a wait for the box counts its seconds. After every task posted to the dialog's thread
// (the engine's notifications) the dialog updates its controls, since the upload state may have
// changed; its button handlers do the same after calling the sequencer.
#pragma once

#include "MessageBox.h"
#include "Program.h"
#include "SorvelVersion.h"
#include "UpgradeRecordFile.h"
#include "UpgradeRecorder.h"
#include "UpgradeSequencer.h"
#include "UpgradeStatus.h"

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

template <typename Dialog>
class CDialogSequencerUi final : public ISequencerUi {
public:
    explicit CDialogSequencerUi(Dialog& dlg) : m_dlg(dlg), m_pGate(dlg.CallGate()) {}
    ~CDialogSequencerUi() override { CloseStagePrompt(); }
    CDialogSequencerUi(const CDialogSequencerUi&) = delete;
    CDialogSequencerUi& operator=(const CDialogSequencerUi&) = delete;

    int ShowMessage(const std::string& text, unsigned flags) override {
        // The process-wide box, captioned with the application title; the program's presenter
        // makes a box of the dialog's thread modal to the dialog.
        return sorvel::AfxMessageBox(text, flags);
    }

    void ShowStagePrompt(const std::string& text, unsigned flags,
                         std::function<void(int answer)> onAnswer) override {
        CloseStagePrompt();
        if ((flags & MB_OKCANCEL) != 0) {
            m_status.PromptOpened();
            m_dlg.ShowStatus(m_status.Text());
        }
        m_pPromptPresenter = &m_dlg.Presenter();
        std::shared_ptr<Gate> gate = m_pGate;
        // The answer goes through the gate rather than straight from the box: the sequencer
        // then acts on it as an event of its own, after the box has closed, and not at all once
        // the dialog has ended.
        m_nPrompt = m_pPromptPresenter->OpenPrompt(
            sorvel::MessageRequest{text, sorvel::ApplicationTitle(), flags},
            [gate, onAnswer = std::move(onAnswer)](int answer) {
                gate->Post([onAnswer, answer] {
                    if (onAnswer)
                        onAnswer(answer);
                });
            });
    }

    void CloseStagePrompt() override {
        // An id that was answered meanwhile is ignored by the presenter.
        if (m_nPrompt != 0 && m_pPromptPresenter != nullptr)
            m_pPromptPresenter->ClosePrompt(m_nPrompt);
        m_nPrompt = 0;
    }

    void SetProgressBar(int nPos) override {
        m_dlg.SetProgress(nPos);
        m_status.Progress(nPos, CUpgradeStatus::Clock::now());
        m_dlg.ShowStatus(m_status.Text());
    }

    void OnFileStarted(int index, int count, const std::string& path) override {
        m_status.FileStarted(index, count, path, CUpgradeStatus::Clock::now());
        m_dlg.ShowStatus(m_status.Text());
    }

    void OnFileCompleted() override {
        m_status.FileCompleted();
        m_dlg.ShowStatus(m_status.Text());
    }

    void OnSequenceStarted(BYTE mode, const CONFIG_INFO& config) override {
        m_recorder.Begin(sorvel::record::BeginAttempt(
            {sorvel::ApplicationTitle(), sorvel::kVersion, m_dlg.PortText(),
             sorvel::record::CurrentFolder(), "", sorvel::record::TraceFromEnvironment()},
            mode, config));
    }

    void OnSequenceEnded(const SequenceOutcome& outcome) override {
        m_recorder.End(outcome);
        m_status.Ended(outcome);
        m_dlg.ShowStatus(m_status.Text());
        m_dlg.UpdateControls();
    }

    // The dialog's thread: a new configuration load result; the status line shows its idle text
    // unless a sequence runs.
    void SetConfigResult(BYTE nConfigResult) {
        m_status.SetConfigResult(nConfigResult);
        m_dlg.ShowStatus(m_status.Text());
    }

    // The dialog's thread, about once a second.
    void Tick() {
        if (m_status.Tick(CUpgradeStatus::Clock::now()))
            m_dlg.ShowStatus(m_status.Text());
    }

    const std::string& StatusText() const { return m_status.Text(); }

    std::string PortText() override { return m_dlg.PortText(); }

    void EndDialog() override {
        m_dlg.ReleaseConfigInfo();
        m_dlg.EndDialog(IDCANCEL);
    }

    // Any thread: the engine's notifications come this way. The gate is the dialog's for life,
    // copied here so that no other thread reads the dialog's members.
    // The gate runs tasks only while the dialog is open, so the dialog is there to update its
    // controls after each.
    void Post(std::function<void()> task) override {
        Dialog* pDlg = &m_dlg;
        m_pGate->Post([pDlg, task = std::move(task)] {
            task();
            pDlg->UpdateControls();
        });
    }

private:
    using Presenter = std::remove_reference_t<decltype(std::declval<Dialog&>().Presenter())>;
    using Gate = typename decltype(std::declval<Dialog&>().CallGate())::element_type;

    Dialog& m_dlg;
    const std::shared_ptr<Gate> m_pGate;
    Presenter* m_pPromptPresenter = nullptr;
    typename Presenter::PromptId m_nPrompt = 0;
    CUpgradeStatus m_status;
    sorvel::record::CUpgradeRecorder m_recorder{
        sorvel::record::DefaultRecordPath(), [](const std::string& text) {
            std::cerr << sorvel::ApplicationTitle() << ": " << text << std::endl;
        }};
};
