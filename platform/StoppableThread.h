// A thread that stops by request, never by force: the one way every thread of the project ends.
//
// The thread's body gets a StopContext. It waits only through the context (WaitFor, WaitForStop,
// or a wait on WakeFd() next to its own handles), and every call out of its owner that may
// wait for a person (a client notification, a message box) goes through CallOut. Stop() asks the
// thread to stop and then:
// - never waits for the calling thread itself (a stop from inside one of its call-outs), nor for
//   a thread that is inside a call-out, which may be held by a person for as long as they like;
// - waits for everything else, which ends at once: the thread leaves its wait when asked;
// - may be given a bound, for a thread whose step outside a call-out can block (a write on a
//   line that does not drain); past the bound the thread is left to end by itself.
// Once Stop() has returned the thread begins no further call-out, and CallOut() tells a call-out
// that was under way, when it returns, that the thread must touch nothing of its owner any more.
// The thread holds its own state, so one left inside a call-out may outlive its owner.
//
// Built on the standard library's stop tokens: Stop() requests the stop through the thread's stop
// source, then wakes WaitFor/WaitForStop and sets the wake-up event (WakeEvent.h) that WakeFd()
// gives to poll(). No std::stop_callback takes part (StoppableThread.cpp says why), so code given
// Token() only reads it.
//
// Threads: Start, Stop and the destructor one at a time, on the owner's thread or (Stop) on the
// thread itself, never two at once; the StopContext only on the thread it was given to.
#pragma once

#include "PlatformExport.h"
#include "WakeEvent.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

namespace sorvel {

// What the thread and its stoppers share.
struct StopState {
    SORVEL_PLATFORM_API StopState();
    SORVEL_PLATFORM_API ~StopState();
    StopState(const StopState&) = delete;
    StopState& operator=(const StopState&) = delete;

    std::stop_source source;
    std::mutex mutex;
    std::condition_variable_any changed;
    bool inCallOut = false; // guarded by mutex
    bool exited = false;    // guarded by mutex
    std::thread::id threadId;
    std::unique_ptr<WakeEvent> wake;
};

class StopContext {
public:
    explicit StopContext(std::shared_ptr<StopState> state) : m_state(std::move(state)) {}

    bool StopRequested() const { return m_state->source.stop_requested(); }
    std::stop_token Token() const { return m_state->source.get_token(); }

    // Sleeps for period, or until a stop is asked for. False when a stop was asked for.
    SORVEL_PLATFORM_API bool WaitFor(std::chrono::nanoseconds period);
    // Waits until a stop is asked for.
    SORVEL_PLATFORM_API void WaitForStop();
    // Ready once a stop was asked for: readable for poll() on POSIX, signalled for
    // WaitForMultipleObjects on Windows (WakeEvent.h). kNoWaitHandle when the system gave none,
    // in which case the thread must not wait longer than it may take to notice a stop.
    SORVEL_PLATFORM_API WaitHandle WakeFd() const;
    // Empties the wake-up descriptor after poll() said it was readable.
    SORVEL_PLATFORM_API void ClearWake();

    // Runs call unless a stop was asked for; while it runs, a stop does not wait for this
    // thread. True when the thread may go on: no stop came before or during the call.
    template <typename Call>
    bool CallOut(Call&& call) {
        if (!BeginCallOut())
            return false;
        call();
        return EndCallOut();
    }

private:
    SORVEL_PLATFORM_API bool BeginCallOut();
    SORVEL_PLATFORM_API bool EndCallOut();

    std::shared_ptr<StopState> m_state;
};

class StoppableThread {
public:
    StoppableThread() = default;
    // Stops the thread (without a bound) if it still runs.
    SORVEL_PLATFORM_API ~StoppableThread();
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;

    // Starts body on a new thread. False when the system has no thread to give.
    SORVEL_PLATFORM_API bool Start(std::function<void(StopContext&)> body);
    // Asks the thread to stop and waits as the header says; idempotent.
    SORVEL_PLATFORM_API void Stop(std::optional<std::chrono::milliseconds> bound = std::nullopt);
    // True from Start until Stop: the thread may still run.
    bool Started() const { return m_state != nullptr; }
    // True on the thread itself.
    SORVEL_PLATFORM_API bool IsCurrentThread() const;

private:
    std::shared_ptr<StopState> m_state;
};

} // namespace sorvel
