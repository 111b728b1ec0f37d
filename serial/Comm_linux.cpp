// The serial channel on Linux termios.
//
// A port is a TtyPort shared by its handle and by every thread that uses it: the reader thread
// and each writer hold a reference for as long as they work on it, so the descriptor number
// can never be reused under a thread that still runs. CommClose lets go of the device at once
// (its descriptor then names /dev/null until the last user lets go).
#include "Comm.h"

#include "CommMessages.h"
#include "CommPorts.h"
#include "CommReader.h"
#include "SerialIoctls_linux.h"

#include "MessageBox.h"
#include "Program.h"
#include "StoppableThread.h"
#include "UniqueFd.h"
#include "WakeEvent.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

DCB g_dcbComm{};

namespace {

using namespace comm;

constexpr std::size_t kReadChunkBytes = 2048;
// The reader's wait: after this much silence it clears the line's error state.
constexpr int kReaderWaitMs = 500;

// The device has no such line or counter (pseudo-terminals, some USB adapters): not a failure.
bool NoSuchLine(int error) {
    return error == ENOTTY || error == EINVAL;
}

// The device went away (adapter unplugged, pseudo-terminal hung up).
bool PortGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

struct TtyPort final : CommPort {
    explicit TtyPort(sorvel::UniqueFd descriptor) : fd(std::move(descriptor)) {}

    sorvel::UniqueFd fd;
    // Set by CommClose so that a write still waiting on the port returns.
    sorvel::WakeEvent closeEvent;
};

// Every port of this process is a TtyPort.
TtyPort& Tty(CommPort& port) {
    return static_cast<TtyPort&>(port);
}

// The group that may open the device, when the user is not in it: the fix for a port that
// refuses the user ("dialout" on Debian). "" when group membership would not help (a node only
// its owner may open, a group the user is already in).
std::string MissingGroupOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    if (info.st_gid == ::getegid())
        return {};
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        if (::getgroups(count, groups.data()) == count &&
            std::find(groups.begin(), groups.end(), info.st_gid) != groups.end())
            return {};
    }
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(info.st_gid);
}

std::string OpenFailureText(const std::string& name, const std::string& path, int error) {
    std::string where = name == path ? path : name + " (" + path + ")";
    std::string text = where + ": " + sorvel::SystemErrorText(error);
    switch (error) {
    case EACCES:
    case EPERM:
        // The fix goes on a line of its own, and only where it is the fix.
        if (const std::string group = MissingGroupOf(path); !group.empty())
            text += "\nadd the user to the " + group + " group (sudo usermod -aG " + group +
                    " $USER), then log in again";
        break;
    case EBUSY:
    case EWOULDBLOCK:
        text = where + ": the port is held by another program";
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        text += " (is the adapter plugged in?)";
        break;
    case ENOTTY:
        text = where + ": not a serial port";
        break;
    default:
        break;
    }
    return text;
}

int OpenFailureKind(int error) {
    switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
        return COMM_OPEN_HELD;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENAMETOOLONG:
        return COMM_OPEN_MISSING;
    case ENOTTY:
    case EISDIR:
        return COMM_OPEN_NOT_SERIAL;
    case EACCES:
    case EPERM:
    case EROFS:
        return COMM_OPEN_DENIED;
    default:
        return COMM_OPEN_OTHER;
    }
}

// Returns the B<rate> constant of a standard speed, or 0 when there is none.
speed_t StandardSpeed(DWORD baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    default:
        return 0;
    }
}

// Fills the line settings that the DCB decides. Every flag that a previous user of the port
// may have left is set explicitly: raw mode alone keeps CSTOPB, CRTSCTS, IXOFF and CLOCAL.
bool ApplyDcb(const DCB& dcb, termios& tio) {
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
    switch (dcb.ByteSize) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        return false;
    }
    switch (dcb.Parity) {
    case NOPARITY:
        break;
    case ODDPARITY:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        tio.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    if (dcb.Parity != NOPARITY && dcb.fParity)
        tio.c_iflag |= INPCK;
    switch (dcb.StopBits) {
    case ONESTOPBIT:
        break;
    case ONE5STOPBITS: // termios has no 1.5: the longer setting keeps the receiver in step
    case TWOSTOPBITS:
        tio.c_cflag |= CSTOPB;
        break;
    default:
        return false;
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    if (dcb.fOutX || dcb.fInX) {
        tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    return true;
}

// The flags this channel sets, to compare what the driver kept with what was asked.
bool SameLineSettings(const termios& want, const termios& got, bool compareSpeed) {
    const tcflag_t cmask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD;
    const tcflag_t imask = IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR | IGNCR | BRKINT;
    const tcflag_t lmask = ICANON | ECHO | ISIG | IEXTEN;
    if ((want.c_cflag & cmask) != (got.c_cflag & cmask) ||
        (want.c_iflag & imask) != (got.c_iflag & imask) ||
        (want.c_lflag & lmask) != (got.c_lflag & lmask) ||
        (want.c_oflag & OPOST) != (got.c_oflag & OPOST))
        return false;
    return !compareSpeed || (::cfgetospeed(&want) == ::cfgetospeed(&got) &&
                             ::cfgetispeed(&want) == ::cfgetispeed(&got));
}

int RetryIoctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Raises or lowers one modem line. Returns 0 or the errno; a device without modem lines
// answers ENOTTY/EINVAL, which the callers take as success.
int SetModemLine(int fd, int line, bool on) {
    int bits = line;
    return RetryIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

bool TcSetAttr(int fd, const termios& tio) {
    int r;
    do {
        r = ::tcsetattr(fd, TCSANOW, &tio);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

bool TcGetAttr(int fd, termios& tio) {
    int r;
    do {
        r = ::tcgetattr(fd, &tio);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

// Sets the line as the DCB asks: framing, flow control and speed, each read back, then DTR
// and RTS. False when the port refused any of it.
bool SetLine(int fd, const DCB& dcb) {
    termios tio{};
    if (!TcGetAttr(fd, tio) || !ApplyDcb(dcb, tio))
        return false;
    // A rate without a B constant is set in a second step through termios2; the standard call
    // carries a placeholder until then.
    const speed_t speed = StandardSpeed(dcb.BaudRate);
    ::cfsetispeed(&tio, speed ? speed : B38400);
    ::cfsetospeed(&tio, speed ? speed : B38400);
    termios back{};
    if (!TcSetAttr(fd, tio) || !TcGetAttr(fd, back) || !SameLineSettings(tio, back, speed != 0))
        return false;
    if (speed == 0 && (dcb.BaudRate == 0 || serial_ioctl::SetCustomSpeed(fd, dcb.BaudRate) != 0))
        return false;
    // DTR and RTS as the DCB asks; handshake modes leave the line to the driver.
    int error = 0;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE)
        error = SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    if ((error == 0 || NoSuchLine(error)) &&
        (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE))
        error = SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    return error == 0 || NoSuchLine(error);
}

// The read time-outs: wait without limit for the first byte, then hand on what has come. Reads here
// are non-blocking and paced by poll(), so VMIN 1 / VTIME 0 keeps poll() waking for a single byte
// and no read ever waits on a timer. False when the port refused them.
bool SetReadTimeouts(int fd) {
    termios timeouts{};
    if (!TcGetAttr(fd, timeouts))
        return false;
    timeouts.c_cc[VMIN] = 1;
    timeouts.c_cc[VTIME] = 0;
    termios back{};
    return TcSetAttr(fd, timeouts) && TcGetAttr(fd, back) && back.c_cc[VMIN] == 1 &&
           back.c_cc[VTIME] == 0;
}

// Opens the device without making it the controlling terminal, and claims it: the lock first,
// before anything changes the port (TIOCEXCL alone does not stop root, and a second reader
// would steal part of the box's answers), then the exclusive mode. An invalid descriptor and
// the errno when it cannot be had; a failure lets the descriptor go, which also drops the lock
// and the exclusive mode taken so far. The exclusive mode is the device's, not the descriptor's:
// closing the port clears it (TIOCNXCL), and a process killed before that leaves it set until the
// device's last close, which on a real port is its own. A pseudo-terminal that another program
// still holds open keeps it; the box simulator clears it when its client has gone.
sorvel::UniqueFd OpenClaimed(const std::string& path, int& error) {
    sorvel::UniqueFd fd;
    do {
        fd.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    } while (!fd.Valid() && errno == EINTR);
    if (!fd.Valid()) {
        error = errno;
        return fd;
    }
    int r;
    do {
        r = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    error = 0;
    if (r != 0)
        error = errno;
    else if (!::isatty(fd.Get()))
        error = ENOTTY;
    else if (RetryIoctl(fd.Get(), TIOCEXCL, nullptr) != 0 && !NoSuchLine(errno))
        error = errno;
    if (error != 0)
        fd.Reset();
    return fd;
}

} // namespace

int CommCheckPlatform() {
    // Every Linux system here runs the channel; writes always wait with poll(), which works on
    // any descriptor.
    return 1;
}

std::shared_ptr<CommPort> comm::OpenPort(const std::string& name, const std::string& path) {
    int openError = 0;
    sorvel::UniqueFd claimed = OpenClaimed(path, openError);
    if (!claimed.Valid()) {
        SetLastOpenError(OpenFailureText(name, path, openError), OpenFailureKind(openError));
        return nullptr;
    }
    const int fd = claimed.Get();
    auto port = std::make_shared<TtyPort>(std::move(claimed));
    if (port->exitEvent.Handle() == sorvel::kNoWaitHandle)
        CommMessage(kMsgExitEvent);

    // Reading the port's settings is the first thing a broken driver refuses.
    termios current{};
    if (!TcGetAttr(fd, current))
        CommMessage(kMsgGetTimeouts);

    ApplyState(*port);
    // Driver queues have fixed sizes here; there is nothing to request.
    int error = SetModemLine(fd, TIOCM_DTR, true);
    if (error != 0 && !NoSuchLine(error))
        CommMessage(kMsgPortReady);
    // USB adapters otherwise hold a lone request byte for their whole latency timer (16 ms on
    // FTDI chips). Devices without the setting simply keep their timing.
    serial_ioctl::RequestLowLatency(fd);
    return port;
}

void comm::ApplyState(CommPort& port) {
    const int fd = Tty(port).fd.Get();
    if (!SetLine(fd, g_dcbComm))
        CommMessage(kMsgSetState);
    if (!SetReadTimeouts(fd))
        CommMessage(kMsgSetTimeouts);
}

int comm::ClosePort(std::shared_ptr<CommPort> held) {
    TtyPort& port = Tty(*held);
    port.closed = true;
    port.closeEvent.Set();
    // Leave the exclusive mode explicitly: while another descriptor of the device stays open
    // (a simulator holding its pseudo-terminal), the flag would outlive this close and refuse
    // the next open of anyone but root.
    if (!port.gone)
        ::ioctl(port.fd.Get(), TIOCNXCL);
    if (held.use_count() > 1) {
        // A writer or a stopped reader still holds the port. Let go of the device now (its
        // lock, its lines) but keep the descriptor number taken, pointing at /dev/null, until
        // the last of them lets go.
        sorvel::UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (null.Valid())
            ::dup3(null.Get(), port.fd.Get(), O_CLOEXEC);
    }
    return 1;
}

// ---- Writer ----

// A non-blocking write loop: what the line does not take at once is waited for with poll(), on
// the port and on the exit and close events, so that an aborted write or a close ends the wait.
int comm::WritePort(CommPort& base, const char* buffer, int count) {
    TtyPort& port = Tty(base);
    const char* message = nullptr;
    const char* message2 = nullptr;
    int written = 0;
    {
        std::lock_guard lock(port.writeMutex);
        bool started = false;
        while (written < count) {
            // Closed under this write: its descriptor may already name /dev/null.
            if (port.closed)
                break;
            ssize_t n =
                ::write(port.fd.Get(), buffer + written, static_cast<std::size_t>(count - written));
            if (n > 0) {
                written += static_cast<int>(n);
                started = true;
                continue;
            }
            int error = n < 0 ? errno : EAGAIN;
            if (error == EINTR)
                continue;
            if (PortGone(error)) {
                // Unplugged: the write ends here. Once is enough to tell.
                message = port.MarkGone();
                break;
            }
            if (error != EAGAIN) {
                if (!started) {
                    message = kMsgWriteStart;
                } else {
                    message = kMsgWriteResult;
                    message2 = kMsgWriteShort;
                }
                break;
            }
            // The line takes no more bytes for now: wait until it does. Once the exit event is
            // set nothing more is waited for.
            if (port.ExitEventSet() || port.closed)
                break;
            started = true;
            pollfd fds[3] = {{port.fd.Get(), POLLOUT, 0},
                             {port.exitEvent.Handle(), POLLIN, 0},
                             {port.closeEvent.Handle(), POLLIN, 0}};
            int r = ::poll(fds, 3, -1);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                message = kMsgWriteWait;
                break;
            }
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                message = port.MarkGone();
                break;
            }
        }
    }
    // Messages are shown after the port is free for other writers: a box may block for long.
    if (message)
        CommMessage(message);
    if (message2 && written < count)
        CommMessage(message2);
    return written;
}

// ---- Reader ----

namespace {

// How long the next wait for bytes may last: the usual quiet period, or less when the owner
// asked to be called earlier.
int ReaderWaitMs(const ReaderLocal& local) {
    if (!local.wakeAtSet)
        return kReaderWaitMs;
    const auto left = local.wakeAt - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Rounded up, so that the wait never ends before the time asked for.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, kReaderWaitMs));
}

// Reads and forgets the line's error counters, the closest a termios port has to clearing its
// error state (nothing here stops reception after a line error). Returns false when the port
// is gone.
bool ResetErrorCounters(sorvel::StopContext& context, TtyPort& port) {
    // TIOCGICOUNT fills a struct serial_icounter_struct (kernel header), 80 bytes; the counts
    // are only read to be reset, so a buffer of that size is all that is needed.
    alignas(8) unsigned char counters[128] = {};
    if (RetryIoctl(port.fd.Get(), TIOCGICOUNT, counters) == 0)
        return true;
    int error = errno;
    if (NoSuchLine(error))
        return true;
    if (PortGone(error))
        return false;
    ReaderMessage(context, kMsgClearErrors);
    return true;
}

} // namespace

void comm::PrepareReaderStart(CommPort& port) {
    // Whatever was received or queued before now is dropped.
    int r;
    do {
        r = ::tcflush(Tty(port).fd.Get(), TCIOFLUSH);
    } while (r < 0 && errno == EINTR);
}

void comm::RunReader(sorvel::StopContext& context, ReaderLocal& local,
                     std::shared_ptr<CommPort> held) {
    TtyPort& port = Tty(*held);
    char buffer[kReadChunkBytes];
    if (context.WakeFd() < 0)
        ReaderMessage(context, kMsgReaderEvent, MB_OK);
    bool portUsable = ResetErrorCounters(context, port);
    while (!context.StopRequested()) {
        if (!portUsable || port.closed) {
            // The owner hears of the loss once; then the device, gone or closed under us, is
            // never touched again and the reader waits to be told to stop.
            if (port.closed || TellIdle(context, local, COMM_IDLE_PORT_GONE))
                context.WaitForStop();
            break;
        }
        pollfd fds[2] = {{port.fd.Get(), POLLIN, 0}, {context.WakeFd(), POLLIN, 0}};
        int r = ::poll(fds, context.WakeFd() >= 0 ? 2 : 1, ReaderWaitMs(local));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (!ReaderMessage(context, kMsgReaderWait))
                break;
            // Whatever made the wait fail, the next try comes after a pause, not at once.
            context.WaitFor(std::chrono::milliseconds(kReaderWaitMs));
            continue;
        }
        if (r == 0) {
            if (!ResetErrorCounters(context, port))
                portUsable = false;
            else if (!TellQuiet(context, local))
                break;
            continue;
        }
        if (fds[1].revents & POLLIN)
            continue; // a stop was asked for: the loop's test sees it
        if (fds[0].revents & POLLNVAL) {
            portUsable = false;
            continue;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t n = ::read(port.fd.Get(), buffer, sizeof buffer);
        if (n > 0) {
            if (!context.CallOut([&] { local.receiver(buffer, static_cast<int>(n)); }))
                break;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // 0 bytes after poll() said readable, or an error: the device hung up or failed. A
        // failed read has no message; the reader stops touching the port rather than spin.
        portUsable = false;
        port.SetGone();
    }
    // Let go of the port before the thread counts as ended: a CommClose right after
    // CommStopReader then finds nobody else holding it.
    held.reset();
}
