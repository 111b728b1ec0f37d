// An event that one thread sets to wake another out of a wait on descriptors: an eventfd on
// Linux (readable once set), an event object on Windows. The system's call lives in the file
// named for its OS (WakeEvent_linux.cpp).
//
// Threads: Set from any thread; Handle, Clear on the waiting thread.
#pragma once

#include "PlatformExport.h"

namespace sorvel {

class WakeEvent {
public:
    SORVEL_PLATFORM_API WakeEvent();
    SORVEL_PLATFORM_API ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // The descriptor to wait on; -1 when the system gave none.
    int Handle() const { return m_handle; }
    // Makes the handle readable until Clear.
    SORVEL_PLATFORM_API void Set();
    SORVEL_PLATFORM_API void Clear();

private:
    int m_handle = -1;
};

} // namespace sorvel
