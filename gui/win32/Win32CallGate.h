// Calls handed from any thread to a dialog's thread, dropped once the dialog is gone.
//
// The upload engine reports on its own threads, and the upgrade sequencer wants its
// notifications on the dialog's thread, never on a dialog that no longer exists. A
// CWin32CallGate is the shared, thread-safe handle for that: Post() queues a call and rings the
// dialog with a posted kRunQueuedMessage (a WM_APP message that carries no data of ours: the
// calls travel through the gate's queue, so none can leak in a message that is never read). The
// dialog procedure answers that message with RunQueued(), which runs the queued calls in order.
// Close() (the dialog's end) drops every queued call; later Post()s return false.
//
// Threads: Post() from any thread; Open(), RunQueued() and Close() on the dialog's thread. A call
// runs outside the gate's lock, so it may post again or close the gate.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class CWin32CallGate {
public:
    // The message that asks the dialog to run the queued calls.
    static constexpr UINT kRunQueuedMessage = WM_APP + 1;

    // Closed until Open() names the dialog.
    CWin32CallGate() = default;
    CWin32CallGate(const CWin32CallGate&) = delete;
    CWin32CallGate& operator=(const CWin32CallGate&) = delete;

    // Calls are run by hWnd's dialog procedure from now on.
    void Open(HWND hWnd);
    // Queues fn for the dialog's thread. False, and fn dropped, when the gate is closed.
    bool Post(std::function<void()> fn);
    // Runs the calls queued so far, in order; stops when one of them closes the gate.
    void RunQueued();
    // Drops the queued calls and refuses further ones. Idempotent.
    void Close();
    bool IsOpen() const;

private:
    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    HWND m_hWnd = nullptr; // null while closed
    bool m_bRung = false;  // a kRunQueuedMessage is on its way
};
