#include "WakeEvent.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sorvel {

WakeEvent::WakeEvent() : m_handle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (m_handle >= 0)
        ::close(m_handle);
}

void WakeEvent::Set() {
    if (m_handle < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(m_handle, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Clear() {
    if (m_handle < 0)
        return;
    std::uint64_t value = 0;
    while (::read(m_handle, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

} // namespace sorvel
