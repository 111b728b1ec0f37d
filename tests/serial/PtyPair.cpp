#include "PtyPair.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sorvel::test {

PtyPair::PtyPair() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal");
    m_path = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_slave < 0)
        throw std::runtime_error("slave does not open");
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyPair::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_master, POLLOUT, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

bool PtyPair::Send(const std::string& bytes) {
    return Send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> PtyPair::Receive(std::size_t n, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[4096];
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t r = ::read(m_master, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        else if (!(r < 0 && (errno == EAGAIN || errno == EINTR)))
            break;
    }
    return got;
}

int PtyPair::SlaveInputPending() const {
    int n = 0;
    ::ioctl(m_slave, FIONREAD, &n);
    return n;
}

void PtyPair::HangUp() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    // The held slave would keep nothing alive now; let it go too so the hang-up is complete.
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

termios PtyPair::SlaveSettings() const {
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    return tio;
}

} // namespace sorvel::test
