#include "Win32CallGate.h"

#include <utility>

void CWin32CallGate::Open(HWND hWnd) {
    std::lock_guard lock(m_mutex);
    m_hWnd = hWnd;
    m_bRung = false;
}

bool CWin32CallGate::Post(std::function<void()> fn) {
    std::lock_guard lock(m_mutex);
    if (m_hWnd == nullptr)
        return false;
    m_queue.push_back(std::move(fn));
    if (!m_bRung) {
        // Under the lock, so that the window cannot be closed between the check and the post.
        // A full message queue leaves the call queued; the next Post rings again.
        m_bRung = PostMessageA(m_hWnd, kRunQueuedMessage, 0, 0) != FALSE;
    }
    return true;
}

void CWin32CallGate::RunQueued() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(m_mutex);
        m_bRung = false;
        if (m_hWnd == nullptr)
            return;
        calls.swap(m_queue);
    }
    while (!calls.empty()) {
        std::function<void()> fn = std::move(calls.front());
        calls.pop_front();
        // A call may close the gate (the dialog ends): the rest are then dropped.
        if (!IsOpen())
            return;
        fn();
    }
}

void CWin32CallGate::Close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_hWnd = nullptr;
        dropped.swap(m_queue);
    }
    // Destroyed outside the lock: their captures may post or close again.
}

bool CWin32CallGate::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_hWnd != nullptr;
}
