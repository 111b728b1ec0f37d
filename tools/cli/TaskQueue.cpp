#include "TaskQueue.h"

namespace sorvel {

// Without the wake-up descriptor (out of descriptors) the queue still works: RunUntil then looks
// for tasks every few milliseconds instead of waiting for a wake-up.
TaskQueue::TaskQueue() = default;
TaskQueue::~TaskQueue() = default;

void TaskQueue::Post(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.Set();
}

std::size_t TaskQueue::RunPending() {
    // Drained before the tasks are taken: a task posted meanwhile makes the descriptor readable
    // again, so no wake-up is lost.
    m_wake.Clear();
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(m_mutex);
        tasks.swap(m_tasks);
    }
    for (auto& task : tasks)
        task();
    return tasks.size();
}

bool TaskQueue::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        std::function<void()> task;
        {
            std::lock_guard lock(m_mutex);
            if (!m_tasks.empty()) {
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
        }
        if (task) {
            task();
            continue;
        }
        m_wake.Clear();
        {
            // A task posted between the check above and the drain must not wait.
            std::lock_guard lock(m_mutex);
            if (!m_tasks.empty())
                continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return done();
        m_wake.Wait(left);
    }
}

} // namespace sorvel
