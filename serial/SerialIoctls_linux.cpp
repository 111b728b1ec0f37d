// This file is on its own because <asm/termbits.h> (struct termios2, BOTHER) and
// <linux/serial.h> (struct serial_struct) redefine what <termios.h> declares: the two cannot
// share a translation unit. Nothing here includes <termios.h>.
#include "SerialIoctls_linux.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace serial_ioctl {

int RequestLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return errno;
    if (serial.flags & ASYNC_LOW_LATENCY)
        return 0;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        return errno;
    return 0;
}

int SetCustomSpeed(int fd, unsigned baud) {
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &tio) != 0)
        return errno;
    termios2 back{};
    if (::ioctl(fd, TCGETS2, &back) != 0)
        return errno;
    // Drivers round to what their clock divides; more than 2 % off is a rate the line cannot
    // keep, and is refused like any other rejected setting.
    auto off = [baud](unsigned got) {
        unsigned long long diff = got > baud ? got - baud : baud - got;
        return diff * 50u > baud;
    };
    if (off(back.c_ospeed) || off(back.c_ispeed))
        return EINVAL;
    return 0;
}

} // namespace serial_ioctl
