// An event that one thread sets to wake another out of a wait on descriptors: an eventfd on
// Linux (readable once set, for poll()), a manual-reset event object on Windows (signalled once
// set, for WaitForMultipleObjects). The system's calls live in the file named for its OS
// (WakeEvent_linux.cpp, WakeEvent_win32.cpp).
//
// Threads: Set from any thread; Handle, Clear, Wait on the waiting thread.
#pragma once

#include "PlatformExport.h"

#include <chrono>

namespace sorvel {

// What a thread waits on next to its own handles: a descriptor on POSIX, an event object's
// HANDLE on Windows. kNoWaitHandle when the system gave none.
#if defined(_WIN32)
using WaitHandle = void*;
inline const WaitHandle kNoWaitHandle = nullptr;
#else
using WaitHandle = int;
inline constexpr WaitHandle kNoWaitHandle = -1;
#endif

class WakeEvent {
public:
    SORVEL_PLATFORM_API WakeEvent();
    SORVEL_PLATFORM_API ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // The handle to wait on; kNoWaitHandle when the system gave none.
    WaitHandle Handle() const { return m_handle; }
    // Makes the handle ready (readable, signalled) until Clear.
    SORVEL_PLATFORM_API void Set();
    SORVEL_PLATFORM_API void Clear();
    // Waits until the event is set or timeout passes; true when it is set. Without a handle it
    // only sleeps for at most 10 ms, so a caller that loops notices a Set soon enough.
    SORVEL_PLATFORM_API bool Wait(std::chrono::milliseconds timeout);

private:
    WaitHandle m_handle = kNoWaitHandle;
};

} // namespace sorvel
