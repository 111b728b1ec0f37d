// sorvel-cli's system calls on Linux: the stop signals through a signalfd, poll(), the
// terminal's ioctl.
#include "CliSystem.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace sorvel::cli {

const char* const kPortHelp =
    "the serial port: \"COM1:\" to \"COM4:\" as in the dialog (mapped by the links in "
    "${XDG_CONFIG_HOME:-~/.config}/sorvel/dosdevices/comN, else /dev/ttyS0...), or a device path "
    "such as /dev/ttyUSB0";

// Blocks the stop signals in this thread, so that every thread started later inherits the mask
// and the signals arrive only through the descriptor. A blocked signal is queued even where it
// was ignored when the program started.
StopSignal::StopSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        m_error = std::generic_category().message(error);
        return;
    }
    m_handle = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_handle < 0)
        m_error = std::generic_category().message(errno);
}

StopSignal::~StopSignal() {
    if (m_handle >= 0)
        ::close(m_handle);
}

WaitResult WaitForWakeOrStop(WaitHandle wake, const StopSignal& stop, int timeoutMs) {
    // poll() skips a negative descriptor: a missing handle is never ready.
    pollfd fds[2] = {{stop.Handle(), POLLIN, 0}, {wake, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0)
        return errno == EINTR ? WaitResult::Timeout : WaitResult::Failed;
    if ((fds[0].revents & POLLIN) != 0) {
        // Taken, so that the descriptor does not stay readable.
        signalfd_siginfo info{};
        [[maybe_unused]] const ssize_t n = ::read(stop.Handle(), &info, sizeof info);
        return WaitResult::Stop;
    }
    if (fds[1].revents != 0)
        return WaitResult::Wake;
    return WaitResult::Timeout;
}

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

std::string SetEnvironment(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) != 0)
        return std::generic_category().message(errno);
    return {};
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace sorvel::cli
