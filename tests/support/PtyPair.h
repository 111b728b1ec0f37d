// A pseudo-terminal pair for tests of the serial channel and the engine: the test plays the far
// end on the master side, the code under test opens SlavePath(). A raw slave descriptor is held
// open so that the code under test can close and reopen the port, and so the test can look at
// the line settings and the input queue. Header only, for targets with or without the boxsim.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace sorvel::test {

class PtyPair {
public:
    PtyPair() {
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
    ~PtyPair() { HangUp(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_path; }
    int Master() const { return m_master; }
    int HeldSlave() const { return m_slave; }

    // Writes all bytes to the master (waits for room); false on error.
    bool Send(const std::string& bytes) {
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
    bool Send(const std::vector<std::uint8_t>& bytes) {
        return Send(std::string(bytes.begin(), bytes.end()));
    }

    // Reads from the master until n bytes came or the time-out passed; returns what came.
    std::vector<std::uint8_t> Receive(std::size_t n, std::chrono::milliseconds timeout) {
        std::string got = Read([&](const std::string& s) { return s.size() >= n; }, n, timeout);
        return {got.begin(), got.end()};
    }
    // Reads from the master until what came ends with end; returns it without end, or what came
    // after "<timed out>" when end did not come in time.
    std::string ReceiveUntil(const std::string& end, std::chrono::milliseconds timeout) {
        std::string got = Read([&](const std::string& s) { return s.ends_with(end); },
                               std::string::npos, timeout);
        if (!got.ends_with(end))
            return "<timed out>" + got;
        got.resize(got.size() - end.size());
        return got;
    }

    // Bytes waiting in the slave's input queue (sent by the master, not yet read).
    int SlaveInputPending() const {
        int n = 0;
        ::ioctl(m_slave, FIONREAD, &n);
        return n;
    }
    // Closes both sides the test holds: the slave hangs up, as when an adapter is unplugged.
    void HangUp() {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
        m_master = m_slave = -1;
    }
    termios SlaveSettings() const {
        termios tio{};
        ::tcgetattr(m_slave, &tio);
        return tio;
    }

private:
    template <class Done>
    std::string Read(Done done, std::size_t limit, std::chrono::milliseconds timeout) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (!done(got)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            ssize_t r = ::read(m_master, buffer, std::min(sizeof buffer, limit - got.size()));
            if (r > 0)
                got.append(buffer, static_cast<std::size_t>(r));
            else if (!(r < 0 && (errno == EAGAIN || errno == EINTR)))
                break;
        }
        return got;
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

} // namespace sorvel::test
