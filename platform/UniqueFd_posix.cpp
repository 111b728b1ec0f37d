#include "UniqueFd.h"

#include <unistd.h>

namespace sorvel {

void UniqueFd::Reset(int fd) {
    // close() is not retried on EINTR: on Linux the descriptor is released whatever it answers.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

} // namespace sorvel
