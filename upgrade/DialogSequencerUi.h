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
#pragma once

#include "MessageBox.h"
#include "Program.h"
#include "UpgradeSequencer.h"

#include <functional>
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

    void SetProgressBar(int nPos) override { m_dlg.SetProgress(nPos); }

    std::string PortText() override { return m_dlg.PortText(); }

    void EndDialog() override {
        m_dlg.ReleaseConfigInfo();
        m_dlg.EndDialog(IDCANCEL);
    }

    // Any thread: the engine's notifications come this way. The gate is the dialog's for life,
    // copied here so that no other thread reads the dialog's members.
    void Post(std::function<void()> task) override { m_pGate->Post(std::move(task)); }

private:
    using Presenter = std::remove_reference_t<decltype(std::declval<Dialog&>().Presenter())>;
    using Gate = typename decltype(std::declval<Dialog&>().CallGate())::element_type;

    Dialog& m_dlg;
    const std::shared_ptr<Gate> m_pGate;
    Presenter* m_pPromptPresenter = nullptr;
    typename Presenter::PromptId m_nPrompt = 0;
};
