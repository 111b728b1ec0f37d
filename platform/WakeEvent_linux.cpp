#include "WakeEvent.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
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

namespace sorvel {

bool WakeEvent::Wait(std::chrono::milliseconds timeout) {
    if (m_handle < 0) {
        std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(10)));
        return false;
    }
    pollfd fd{m_handle, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(timeout.count(), 0)));
    return ready > 0 && (fd.revents & POLLIN) != 0;
}

} // namespace sorvel
