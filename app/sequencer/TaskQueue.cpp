#include "TaskQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sorvel {

TaskQueue::TaskQueue() {
    // Without the descriptor (out of descriptors) the queue still works: RunUntil then looks
    // for tasks every few milliseconds instead of waiting for a wake-up.
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TaskQueue::~TaskQueue() {
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void TaskQueue::Post(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    // The counter cannot overflow in practice; a full counter would only mean "readable".
    if (m_wakeFd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
}

std::size_t TaskQueue::RunPending() {
    std::uint64_t value = 0;
    // Drained before the tasks are taken: a task posted meanwhile makes the descriptor readable
    // again, so no wake-up is lost.
    if (m_wakeFd >= 0) {
        [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
    }
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
        std::uint64_t value = 0;
        if (m_wakeFd >= 0) {
            [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
        }
        {
            // A task posted between the check above and the drain must not wait for a poll.
            std::lock_guard lock(m_mutex);
            if (!m_tasks.empty())
                continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return done();
        constexpr std::chrono::milliseconds kFallbackPeriod{10};
        pollfd fd{m_wakeFd, POLLIN, 0};
        int ready =
            ::poll(&fd, 1,
                   static_cast<int>(m_wakeFd >= 0 ? left.count()
                                                  : std::min(left, kFallbackPeriod).count()));
        if (ready < 0 && errno != EINTR)
            return done();
    }
}

} // namespace sorvel
