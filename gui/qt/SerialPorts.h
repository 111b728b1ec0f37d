// The serial ports present on this machine, as the port list of the main dialog offers them.
//
// A USB adapter's /dev/ttyUSBn or /dev/ttyACMn number can change after a replug, so a device
// that has a stable name under /dev/serial/by-id is listed by that name; other devices are listed
// by their device path. Built-in UARTs (/dev/ttySn) are listed only when the kernel found a real
// UART behind the name: the 8250 driver creates many ttyS nodes for ports that do not exist, and
// those report the port type 0 (unknown) in /sys/class/tty/ttySn/type.
//
// Any thread; reads the file system only.
#pragma once

#include "NaturalOrder.h"

#include <filesystem>
#include <string>
#include <vector>

// The ports under `root` ("/" for this machine; tests pass a folder laid out like one). Names
// are returned as absolute paths of the real system ("/dev/serial/by-id/usb-...",
// "/dev/ttyUSB0"), never with the root prefix: the stable names first, then the device paths,
// each group in natural order (ttyUSB2 before ttyUSB10). Nothing found, or an unreadable folder,
// gives an empty list.
std::vector<std::string> ListSerialPorts(const std::filesystem::path& root = "/");
