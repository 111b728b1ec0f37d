// A queue of tasks for one owner thread, for front ends without a window system's event loop
// (the command-line front end, tests).
//
// Any thread posts; the owner thread runs the tasks in the order posted, from RunPending or
// RunUntil. WakeFd() becomes readable whenever tasks are waiting, so the owner can poll it
// together with other descriptors (a signal descriptor, standard input).
//
// Threads: Post from any thread, never blocking for longer than a push. Everything else on the
// owner thread. A task runs outside the queue's lock, so it may post again.
#pragma once

#include "WakeEvent.h"

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

namespace sorvel {

class TaskQueue {
public:
    TaskQueue();
    ~TaskQueue();
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    void Post(std::function<void()> task);

    // Runs the tasks waiting now (not those they post); returns how many ran.
    std::size_t RunPending();
    // Runs tasks as they come until done() holds (checked before waiting and after each task)
    // or the time-out passes; true when done() held.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Ready (WakeEvent.h) while tasks are waiting.
    WaitHandle WakeFd() const { return m_wake.Handle(); }

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
    WakeEvent m_wake;
};

} // namespace sorvel
