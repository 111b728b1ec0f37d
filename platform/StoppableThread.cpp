#include "StoppableThread.h"

#include "WakeEvent.h"

#include <system_error>

namespace sorvel {

StopState::StopState() : wake(std::make_unique<WakeEvent>()) {}
StopState::~StopState() = default;

bool StopContext::WaitFor(std::chrono::nanoseconds period) {
    std::unique_lock lock(m_state->mutex);
    // Stop notifies under this lock after its request: either the request is seen here, or the
    // wait is under way when the notification comes.
    m_state->changed.wait_for(lock, period, [this] { return m_state->source.stop_requested(); });
    return !m_state->source.stop_requested();
}

void StopContext::WaitForStop() {
    std::unique_lock lock(m_state->mutex);
    m_state->changed.wait(lock, [this] { return m_state->source.stop_requested(); });
}

WaitHandle StopContext::WakeFd() const {
    return m_state->wake->Handle();
}

void StopContext::ClearWake() {
    m_state->wake->Clear();
}

bool StopContext::BeginCallOut() {
    std::lock_guard lock(m_state->mutex);
    // Under the lock that Stop takes after its request: either the request is seen here, or
    // Stop sees the call-out and does not wait for it.
    if (m_state->source.stop_requested())
        return false;
    m_state->inCallOut = true;
    return true;
}

bool StopContext::EndCallOut() {
    std::lock_guard lock(m_state->mutex);
    m_state->inCallOut = false;
    m_state->changed.notify_all();
    return !m_state->source.stop_requested();
}

StoppableThread::~StoppableThread() {
    Stop();
}

bool StoppableThread::Start(std::function<void(StopContext&)> body) {
    Stop();
    auto state = std::make_shared<StopState>();
    // Set before the thread runs: the thread may stop itself at once.
    m_state = state;
    try {
        // Detached: a thread left inside a call-out ends by itself, and one that ended is
        // waited for through its state rather than joined.
        std::thread([state, body = std::move(body)] {
            {
                std::lock_guard lock(state->mutex);
                state->threadId = std::this_thread::get_id();
            }
            StopContext context(state);
            body(context);
            std::lock_guard lock(state->mutex);
            state->exited = true;
            state->changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        m_state.reset();
        return false;
    }
    return true;
}

void StoppableThread::Stop(std::optional<std::chrono::milliseconds> bound) {
    std::shared_ptr<StopState> state = std::move(m_state);
    if (!state)
        return;
    state->source.request_stop();
    // Wakes every wait of the thread: the descriptor given to poll(), and the condition, notified
    // under its lock after the request. Done here rather than by a std::stop_callback on the
    // thread: built with mingw-w64, a stop callback's destructor that meets the callback running
    // on the stopping thread waits for it in the C++ runtime's process-wide wait table. That wait
    // now and then misses its wake-up, and when the process ends while a thread is still being
    // woken there, the runtime's teardown of the table at exit waits for that thread for ever.
    state->wake->Set();
    std::unique_lock lock(state->mutex);
    state->changed.notify_all();
    if (state->threadId == std::this_thread::get_id())
        return; // from the thread itself: it ends when its call-out returns
    const auto done = [&] { return state->exited || state->inCallOut; };
    if (bound)
        state->changed.wait_for(lock, *bound, done);
    else
        state->changed.wait(lock, done);
}

bool StoppableThread::IsCurrentThread() const {
    if (!m_state)
        return false;
    std::lock_guard lock(m_state->mutex);
    return m_state->threadId == std::this_thread::get_id();
}

} // namespace sorvel
