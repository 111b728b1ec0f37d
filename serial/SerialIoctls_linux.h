// The Linux serial driver requests that need kernel headers which clash with <termios.h>:
// TIOCGSERIAL/TIOCSSERIAL (struct serial_struct) and TCGETS2/TCSETS2 (struct termios2).
// Implemented in SerialIoctls_linux.cpp; called by the Linux backend on the thread that opens
// or configures the port.
#pragma once

namespace serial_ioctl {

// Asks the driver to hand received bytes on without its latency timer (ASYNC_LOW_LATENCY).
// Returns 0, or the errno of the request (ENOTTY/EINVAL: the device has no such setting).
int RequestLowLatency(int fd);

// Sets a speed that has no B<rate> constant (BOTHER) on both directions and reads it back.
// Returns 0 when the device took exactly that rate, else an errno (EINVAL when it kept another).
int SetCustomSpeed(int fd, unsigned baud);

} // namespace serial_ioctl
