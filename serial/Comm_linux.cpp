// The serial channel on POSIX termios.
//
// A port is a CommPort shared by its handle and by every thread that uses it: the reader thread
// and each writer hold a reference for as long as they work on it, so the descriptor number
// can never be reused under a thread that still runs. CommClose lets go of the device at once
// (its descriptor then names /dev/null until the last user lets go).
#include "Comm.h"

#include "CommMessages.h"
#include "CommReader.h"

#include "CommLinux.h"
#include "MessageBox.h"
#include "PortNames.h"
#include "Program.h"
#include "StoppableThread.h"
#include "UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

DCB g_dcbComm{};

namespace {

using namespace std::chrono_literals;

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

void SetEventFd(int fd) {
    if (fd < 0)
        return;
    std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

} // namespace

struct CommPort {
    CommPort(sorvel::UniqueFd descriptor, std::string devicePath)
        : fd(std::move(descriptor)), path(std::move(devicePath)) {}
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    bool ExitEventSet() const { return exitSet.load(std::memory_order_acquire); }
    void SetExitEvent() {
        if (!exitSet.exchange(true, std::memory_order_acq_rel))
            SetEventFd(exitEvent.Get());
    }

    sorvel::UniqueFd fd;
    const std::string path;
    // The thread exit event: set by an aborted write, never cleared; the eventfd wakes writers
    // that wait in poll().
    sorvel::UniqueFd exitEvent;
    std::atomic<bool> exitSet{false};
    // Set by CommClose so that a write still waiting on the port returns.
    sorvel::UniqueFd closeEvent;
    std::atomic<bool> closed{false};
    // The device is gone: nothing touches it again. Its one message has been shown once
    // goneReported is set.
    std::atomic<bool> gone{false};
    std::atomic<bool> goneReported{false};
    // Whole writes one at a time, so that a record never interleaves with another write.
    std::mutex writeMutex;
};

namespace {

// Open ports by handle. A handle that CommClose has released is no longer found, so a late
// call with it does nothing instead of touching freed memory.
std::mutex g_portsMutex;
std::map<CommPort*, std::shared_ptr<CommPort>>& Ports() {
    static auto* ports = new std::map<CommPort*, std::shared_ptr<CommPort>>;
    return *ports;
}

std::shared_ptr<CommPort> FindPort(HCOMM handle) {
    if (handle == nullptr)
        return nullptr;
    std::lock_guard lock(g_portsMutex);
    auto it = Ports().find(handle);
    return it == Ports().end() ? nullptr : it->second;
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

} // namespace

std::string CommDevicePath(const std::string& portName) {
    return sorvel::ComPortDevicePath(portName);
}

int CommCheckPlatform() {
    // Every POSIX system here runs the channel; writes always wait with poll(), which works on
    // any descriptor.
    return 1;
}

HCOMM CommOpen(const char* portName, void* /*owner*/) {
    SetLastOpenError({});
    if (CommCheckPlatform() == 0)
        return nullptr;
    TakeProgramCaption();
    const std::string name = portName ? portName : "";
    const std::string path = CommDevicePath(name);

    sorvel::UniqueFd owner;
    do {
        owner.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    } while (!owner.Valid() && errno == EINTR);
    if (!owner.Valid()) {
        SetLastOpenError(OpenFailureText(name, path, errno));
        return nullptr;
    }
    const int fd = owner.Get();
    // Every failure below lets the descriptor go, which also drops the lock and the exclusive
    // mode taken so far.
    auto fail = [&](int error) -> HCOMM {
        SetLastOpenError(OpenFailureText(name, path, error));
        return nullptr;
    };
    // The lock first, before anything changes the port: TIOCEXCL alone does not stop root,
    // and a second reader would steal part of the box's answers.
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    if (r != 0)
        return fail(errno);
    if (!::isatty(fd))
        return fail(ENOTTY);
    if (RetryIoctl(fd, TIOCEXCL, nullptr) != 0 && !NoSuchLine(errno))
        return fail(errno);

    auto port = std::make_shared<CommPort>(std::move(owner), path);
    port->exitEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!port->exitEvent.Valid())
        CommMessage(kMsgExitEvent);
    port->closeEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));

    // Reading the port's settings is the first thing a broken driver refuses.
    termios current{};
    if (!TcGetAttr(fd, current))
        CommMessage(kMsgGetTimeouts);

    HCOMM handle = port.get();
    {
        std::lock_guard lock(g_portsMutex);
        Ports()[handle] = port;
    }
    CommSetState(handle);
    // Driver queues have fixed sizes here; there is nothing to request.
    int error = SetModemLine(fd, TIOCM_DTR, true);
    if (error != 0 && !NoSuchLine(error))
        CommMessage(kMsgPortReady);
    // USB adapters otherwise hold a lone request byte for their whole latency timer (16 ms on
    // FTDI chips). Devices without the setting simply keep their timing.
    comm_linux::RequestLowLatency(fd);
    return handle;
}

int CommSetState(HCOMM handle) {
    auto port = FindPort(handle);
    if (!port)
        return 1;
    const int fd = port->fd.Get();
    const DCB dcb = g_dcbComm;

    termios tio{};
    bool ok = TcGetAttr(fd, tio) && ApplyDcb(dcb, tio);
    speed_t speed = StandardSpeed(dcb.BaudRate);
    if (ok) {
        // A rate without a B constant is set in a second step through termios2; the standard
        // call carries a placeholder until then.
        ::cfsetispeed(&tio, speed ? speed : B38400);
        ::cfsetospeed(&tio, speed ? speed : B38400);
        termios back{};
        ok = TcSetAttr(fd, tio) && TcGetAttr(fd, back) && SameLineSettings(tio, back, speed != 0);
        if (ok && speed == 0)
            ok = dcb.BaudRate != 0 && comm_linux::SetCustomSpeed(fd, dcb.BaudRate) == 0;
    }
    if (ok) {
        // DTR and RTS as the DCB asks; handshake modes leave the line to the driver.
        int error = 0;
        if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE)
            error = SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
        if ((error == 0 || NoSuchLine(error)) &&
            (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE))
            error = SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
        ok = error == 0 || NoSuchLine(error);
    }
    if (!ok)
        CommMessage(kMsgSetState);

    // The time-outs (1, 0, 0, 0, 0): wait without limit for the first byte, then hand on what
    // has come. Reads here are non-blocking and paced by poll(), so VMIN 1 / VTIME 0 keeps
    // poll() waking for a single byte and no read ever waits on a timer.
    termios timeouts{};
    bool timeoutsOk = TcGetAttr(fd, timeouts);
    if (timeoutsOk) {
        timeouts.c_cc[VMIN] = 1;
        timeouts.c_cc[VTIME] = 0;
        termios back{};
        timeoutsOk = TcSetAttr(fd, timeouts) && TcGetAttr(fd, back) && back.c_cc[VMIN] == 1 &&
                     back.c_cc[VTIME] == 0;
    }
    if (!timeoutsOk)
        CommMessage(kMsgSetTimeouts);
    return 1;
}

int CommClose(HCOMM handle) {
    std::shared_ptr<CommPort> port;
    {
        std::lock_guard lock(g_portsMutex);
        auto it = Ports().find(handle);
        if (it == Ports().end())
            return 0;
        port = std::move(it->second);
        Ports().erase(it);
    }
    port->closed = true;
    SetEventFd(port->closeEvent.Get());
    // Leave the exclusive mode explicitly: while another descriptor of the device stays open
    // (a simulator holding its pseudo-terminal), the flag would outlive this close and refuse
    // the next open of anyone but root.
    if (!port->gone)
        ::ioctl(port->fd.Get(), TIOCNXCL);
    if (port.use_count() > 1) {
        // A writer or a stopped reader still holds the port. Let go of the device now (its
        // lock, its lines) but keep the descriptor number taken, pointing at /dev/null, until
        // the last of them lets go.
        sorvel::UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (null.Valid())
            ::dup3(null.Get(), port->fd.Get(), O_CLOEXEC);
    }
    return 1;
}

bool CommExitEventIsSet(HCOMM handle) {
    auto port = FindPort(handle);
    return port && port->ExitEventSet();
}

int CommOutputQueued(HCOMM handle) {
    auto port = FindPort(handle);
    if (!port || port->closed || port->gone)
        return -1;
    int queued = 0;
    if (RetryIoctl(port->fd.Get(), TIOCOUTQ, &queued) != 0)
        return -1;
    return queued;
}

// ---- Writer ----

namespace {

int CommWriteOverlapped(const std::shared_ptr<CommPort>& port, const char* buffer, int count) {
    if (port->closed)
        return 0;
    if (port->gone) {
        // The reader found the device gone first: the first write tells the user, once.
        port->SetExitEvent();
        if (!port->goneReported.exchange(true))
            CommMessage(kMsgWriteShort);
        return 0;
    }
    const char* message = nullptr;
    const char* message2 = nullptr;
    int written = 0;
    {
        std::lock_guard lock(port->writeMutex);
        bool started = false;
        while (written < count) {
            // Closed under this write: its descriptor may already name /dev/null.
            if (port->closed)
                break;
            ssize_t n = ::write(port->fd.Get(), buffer + written,
                                static_cast<std::size_t>(count - written));
            if (n > 0) {
                written += static_cast<int>(n);
                started = true;
                continue;
            }
            int error = n < 0 ? errno : EAGAIN;
            if (error == EINTR)
                continue;
            if (PortGone(error)) {
                // Unplugged: like a request the system aborted. Once is enough to tell.
                port->gone = true;
                port->SetExitEvent();
                if (!port->goneReported.exchange(true))
                    message = kMsgWriteShort;
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
            // The bytes would have to wait for the line: a pending write. Once the exit event is
            // set nothing more is waited for.
            if (port->ExitEventSet() || port->closed)
                break;
            started = true;
            pollfd fds[3] = {{port->fd.Get(), POLLOUT, 0},
                             {port->exitEvent.Get(), POLLIN, 0},
                             {port->closeEvent.Get(), POLLIN, 0}};
            int r = ::poll(fds, 3, -1);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                message = kMsgWriteWait;
                break;
            }
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                port->gone = true;
                port->SetExitEvent();
                if (!port->goneReported.exchange(true))
                    message = kMsgWriteShort;
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

} // namespace

int CommWrite(HCOMM handle, const char* buffer, int count) {
    if (buffer == nullptr || count <= 0)
        return 0;
    auto port = FindPort(handle);
    if (!port)
        return 0;
    return CommWriteOverlapped(port, buffer, count);
}

// ---- Reader ----

namespace {

// The reader's own state: what it calls, and the time its owner asked to be called at
// (CommReaderWakeAt). Touched only by the reader thread.
using comm::ReaderLocal;

// Shows a channel message on the reader thread, as a call-out: a stop request from another
// thread does not wait for the person in front of the box. False when the reader must stop.
bool ReaderMessage(sorvel::StopContext& context, const char* text) {
    return context.CallOut([text] { CommMessage(text); });
}

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

// Reads and forgets the line's error counters, the closest a POSIX port has to clearing its
// error state (nothing here stops reception after a line error). Returns false when the port
// is gone.
bool CommClearErrors(sorvel::StopContext& context, CommPort& port) {
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

void CommReaderThread(sorvel::StopContext& context, ReaderLocal& local,
                      std::shared_ptr<CommPort> port) {
    char buffer[kReadChunkBytes];
    if (context.WakeFd() < 0)
        context.CallOut([] { CommMessage(kMsgReaderEvent, MB_OK); });
    bool portUsable = CommClearErrors(context, *port);
    bool goneTold = false;
    while (!context.StopRequested()) {
        if (!portUsable || port->closed) {
            // The owner hears of the loss once; then the device, gone or closed under us, is
            // never touched again and the reader waits to be told to stop.
            if (!portUsable && !port->closed && !goneTold && local.idle != nullptr) {
                goneTold = true;
                if (!context.CallOut([&] { local.idle(COMM_IDLE_PORT_GONE); }))
                    break;
            }
            context.WaitForStop();
            break;
        }
        pollfd fds[2] = {{port->fd.Get(), POLLIN, 0}, {context.WakeFd(), POLLIN, 0}};
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
            if (!CommClearErrors(context, *port)) {
                portUsable = false;
                continue;
            }
            if (local.wakeAtSet && std::chrono::steady_clock::now() >= local.wakeAt)
                local.wakeAtSet = false;
            if (local.idle != nullptr && !context.CallOut([&] { local.idle(COMM_IDLE_QUIET); }))
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
        ssize_t n = ::read(port->fd.Get(), buffer, sizeof buffer);
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
        port->gone = true;
        port->SetExitEvent();
    }
    // Let go of the port before the thread counts as ended: a CommClose right after
    // CommStopReader then finds nobody else holding it.
    port.reset();
}

} // namespace

HCOMMREADER CommStartReader(HCOMM handle, CommReceiveProc receiver, CommIdleProc idle) {
    auto port = FindPort(handle);
    if (!port || receiver == nullptr) {
        CommMessage(kMsgReadThread);
        return nullptr;
    }
    // The purge happens here rather than on the new thread, so that every byte the box sends
    // after this call returns is delivered, and none from before it.
    if (!port->gone) {
        int r;
        do {
            r = ::tcflush(port->fd.Get(), TCIOFLUSH);
        } while (r < 0 && errno == EINTR);
    }
    // The thread's body hands its hold on the port to the loop, which lets go of it before the
    // thread counts as ended.
    HCOMMREADER reader = comm::StartReaderThread(
        receiver, idle,
        [port = std::move(port)](sorvel::StopContext& context, ReaderLocal& local) mutable {
            CommReaderThread(context, local, std::move(port));
        });
    if (reader == nullptr)
        CommMessage(kMsgReadThread);
    return reader;
}
