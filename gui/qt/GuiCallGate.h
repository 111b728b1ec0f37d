// Calls handed from any thread to a window's thread, dropped once the window is gone.
//
// The upload engine reports on its own threads. Its notifications must reach the main dialog on
// the dialog's thread, and never a dialog that no longer exists. A CGuiCallGate is the shared,
// thread-safe handle for that: a thread keeps a std::shared_ptr to the gate, Post() queues a call,
// and the window's thread runs the queued calls in order from its event loop. When the window
// closes its gate (Close(), also done by the window's destructor) every call still queued is
// dropped and later Post()s return false, so nothing runs against a dead window.
//
// Threads: Post() from any thread; Open(), Close() and the queued calls on the window's thread.
// A posted call runs outside the gate's lock, so it may post again or close the gate.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class CGuiCallGate : public std::enable_shared_from_this<CGuiCallGate> {
public:
    // A gate whose calls run on `receiver`'s thread while `receiver` is alive and the gate open.
    static std::shared_ptr<CGuiCallGate> Create(QObject* receiver);
    ~CGuiCallGate();
    CGuiCallGate(const CGuiCallGate&) = delete;
    CGuiCallGate& operator=(const CGuiCallGate&) = delete;

    // Queues fn for the window's thread. False, and fn dropped, when the gate is closed.
    bool Post(std::function<void()> fn);
    // Drops the queued calls and refuses further ones. Idempotent.
    void Close();
    bool IsOpen() const;

private:
    CGuiCallGate() = default;
    void RunQueued();

    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    QObject* m_pump = nullptr; // lives on the window's thread; null once closed
    bool m_drainPosted = false;
};
