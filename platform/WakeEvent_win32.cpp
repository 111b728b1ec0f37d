#include "WakeEvent.h"

#include <windows.h>

namespace sorvel {

// Manual-reset: it stays signalled for every wait until Clear, like the eventfd on Linux.
WakeEvent::WakeEvent() : m_handle(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

WakeEvent::~WakeEvent() {
    if (m_handle != kNoWaitHandle)
        ::CloseHandle(m_handle);
}

void WakeEvent::Set() {
    if (m_handle != kNoWaitHandle)
        ::SetEvent(m_handle);
}

void WakeEvent::Clear() {
    if (m_handle != kNoWaitHandle)
        ::ResetEvent(m_handle);
}

bool WakeEvent::Wait(std::chrono::milliseconds timeout) {
    const DWORD ms = timeout.count() <= 0 ? 0 : static_cast<DWORD>(timeout.count());
    if (m_handle == kNoWaitHandle) {
        ::Sleep(ms < 10 ? ms : 10);
        return false;
    }
    return ::WaitForSingleObject(m_handle, ms) == WAIT_OBJECT_0;
}

} // namespace sorvel
