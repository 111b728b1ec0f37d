// The program's message boxes as Windows message boxes (MessageBoxA).
//
// Once Install() has made it the process-wide presenter, every sorvel::ShowMessageBox of the
// process (the loader's errors, the serial channel's "Error - ..." boxes, the sequencer's
// messages) shows a MessageBoxA with the request's text, caption and flags, and returns its
// answer:
//   - on the owner's thread (SetOwner), while the owner window is visible, the box is owned by
//     it and so modal to it: the button handlers' messages;
//   - on that thread before the owner shows (the loader's messages at start-up), or with no
//     owner, the box has no owner;
//   - on any other thread (the engine's), the box has no owner and stays on top; only that
//     thread waits for the answer, and the dialog stays usable.
//
// Stage prompts: OpenPrompt() shows an ownerless, always-on-top box on a thread of its own and
// returns at once, so the main dialog stays usable; the answer goes to a callback. ClosePrompt()
// closes the box from the program's side, and its answer is then never delivered. The box's
// thread is told to quit (WM_QUIT ends a message box's modal loop), which works whether or not
// the box has appeared yet.
//
// Threads: Present() from any thread. Install, SetOwner, OpenPrompt, ClosePrompt, Shutdown and
// the destructor on the owner's thread (the dialog's).
#pragma once

#include "MessageBox.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class CWin32MessagePresenter {
public:
    using PromptId = std::uint64_t;

    CWin32MessagePresenter() = default;
    // Shutdown(), then restores the presenter that Install() replaced.
    ~CWin32MessagePresenter();
    CWin32MessagePresenter(const CWin32MessagePresenter&) = delete;
    CWin32MessagePresenter& operator=(const CWin32MessagePresenter&) = delete;

    // Makes this the process-wide presenter.
    void Install();

    // The window that boxes asked for on the calling thread are modal to while it is visible;
    // null for none. The calling thread becomes the owner's thread.
    void SetOwner(HWND hOwner);

    // Shows one message and returns its answer; see the header comment.
    int Present(const sorvel::MessageRequest& request) const;

    // A non-blocking prompt. onAnswer is called once, on the prompt's own thread, with IDOK,
    // IDCANCEL, IDYES or IDNO when the user answers (closing the box counts as the negative
    // answer), unless the program closed the prompt first. Returns an id for ClosePrompt.
    PromptId OpenPrompt(const sorvel::MessageRequest& request, std::function<void(int)> onAnswer);
    // Closes a prompt without delivering its answer and waits for its thread. Unknown or
    // answered ids are ignored.
    void ClosePrompt(PromptId id);
    bool IsPromptOpen(PromptId id) const;

    // Closes every open prompt.
    void Shutdown();

private:
    struct Prompt;

    // Waits for the threads of prompts that were answered.
    void ReapAnswered();

    struct Owner {
        HWND hWnd = nullptr;
        DWORD dwThreadId = 0;
    };
    mutable std::mutex m_ownerMutex;
    Owner m_owner;

    std::vector<std::shared_ptr<Prompt>> m_prompts; // owner's thread only
    PromptId m_nLastPrompt = 0;

    bool m_bInstalled = false;
    sorvel::MessagePresenter m_previous;
};
