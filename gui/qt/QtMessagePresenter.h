// The program's message boxes as Qt message boxes.
//
// CQtMessagePresenter turns every sorvel::ShowMessageBox of the process (the loader's errors,
// the serial channel's "Error - ..." boxes, the upgrade sequencer's messages) into a QMessageBox,
// once Install() has made it the process-wide presenter:
//   - caption and text as given (the text is plain text, "\n" breaks lines);
//   - buttons from the flags: MB_OK -> OK, MB_OKCANCEL -> OK and Cancel, MB_YESNO -> Yes and
//     No; the icon from the icon bits (MB_ICONERROR -> the critical icon);
//   - the answer IDOK, IDCANCEL, IDYES or IDNO. Esc and the close box answer Cancel or No, and
//     a box with one button is acknowledged (IDOK);
//   - MB_SYSTEMMODAL keeps the box above every other window.
// Called on the GUI thread (a button handler, the dialog's start-up), the box is modal to the
// owner window (SetOwner, when it is visible; else the whole program) and runs at once. Called
// on any other thread, the box is shown on the GUI thread without owner and without modality,
// so the main dialog stays usable, and only the calling thread waits for the answer.
//
// Stage prompts: OpenPrompt() shows an ownerless, always-on-top, non-modal box and returns at
// once; the answer arrives later through a callback on the GUI thread. ClosePrompt() closes it
// from the program's side; its answer is then never delivered.
//
// Shutdown() (also run by the destructor) answers every waiting thread with the negative answer
// of its box, closes the open boxes and makes later calls from other threads answer the same way
// at once, so that no thread stays blocked when the GUI thread stops serving boxes.
//
// Threads: Present() from any thread. The constructor, SetOwner, OpenPrompt, ClosePrompt,
// Shutdown and the destructor on the GUI thread, with a QApplication alive.
#pragma once

#include "MessageBox.h"

#include <cstdint>
#include <functional>
#include <memory>

class CGuiCallGate;
class QWidget;

class CQtMessagePresenter {
public:
    using PromptId = std::uint64_t;

    CQtMessagePresenter();
    ~CQtMessagePresenter();
    CQtMessagePresenter(const CQtMessagePresenter&) = delete;
    CQtMessagePresenter& operator=(const CQtMessagePresenter&) = delete;

    // Makes this the process-wide presenter; the destructor restores the previous one.
    void Install();
    // A presenter function for sorvel::SetMessagePresenter, usable from any thread. It keeps
    // the presenter's shared state alive; after Shutdown it answers without showing anything.
    sorvel::MessagePresenter AsPresenter() const;

    // The window that GUI-thread boxes are modal to while it is visible (normally the main
    // dialog), and its call gate, through which boxes asked for on other threads reach the GUI
    // thread (without one, the presenter's own gate). Held weakly: a destroyed owner counts as
    // none, and a closed gate answers other threads at once.
    void SetOwner(QWidget* owner, std::shared_ptr<CGuiCallGate> gate = nullptr);

    // Shows one message and returns its answer; see the header comment.
    int Present(const sorvel::MessageRequest& request) const;

    // A non-blocking prompt; onAnswer runs on the GUI thread with IDOK, IDCANCEL, IDYES or IDNO
    // when the user answers. Returns an id for ClosePrompt; 0 after Shutdown (nothing shown).
    PromptId OpenPrompt(const sorvel::MessageRequest& request, std::function<void(int)> onAnswer);
    // Closes an open prompt without delivering an answer. Unknown or answered ids are ignored.
    void ClosePrompt(PromptId id);
    bool IsPromptOpen(PromptId id) const;

    void Shutdown();

    // The answer that a Qt standard button stands for under the given flags: OK -> IDOK,
    // Cancel -> IDCANCEL, Yes -> IDYES, No -> IDNO, anything else -> the flags' negative answer.
    static int AnswerForButton(int standardButton, unsigned flags);

    class Impl;

private:
    std::shared_ptr<Impl> m_impl;
    bool m_installed = false;
    sorvel::MessagePresenter m_previous;
};
