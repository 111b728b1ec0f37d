#include "TestSystem.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sorvel::test {

std::string NoSuchFileText() {
    return "No such file or directory";
}

std::string NoSuchFolderText() {
    return "No such file or directory";
}

const bool kBackslashSeparates = false;

bool WaitReady(WaitHandle handle, std::chrono::milliseconds timeout) {
    const int ms = timeout.count() > INT_MAX ? -1 : static_cast<int>(timeout.count());
    pollfd fd{handle, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&fd, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

long OpenHandleCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
}

std::vector<std::string> NotRegularPaths(const std::filesystem::path& dir) {
    const std::string fifo = (dir / "fifo").string();
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        throw std::runtime_error("cannot make the FIFO " + fifo);
    return {fifo, "/dev/zero"};
}

WriterHold::WriterHold(std::filesystem::path path)
    : m_path(std::move(path)), m_handle(::open(m_path.c_str(), O_RDWR | O_CLOEXEC)) {}

WriterHold::~WriterHold() {
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

bool WriterHold::Take() {
    return m_handle >= 0 && ::flock(static_cast<int>(m_handle), LOCK_EX | LOCK_NB) == 0;
}

void WriterHold::Release() {
    if (m_handle >= 0)
        ::flock(static_cast<int>(m_handle), LOCK_UN);
}

bool CanShareForReading(const std::filesystem::path& path) {
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0)
        return false;
    const bool shared = ::flock(reader, LOCK_SH | LOCK_NB) == 0;
    ::close(reader);
    return shared;
}

} // namespace sorvel::test
