// Port names as the program's users write them. "COM1" and "COM1:" (any case, any number n)
// name a serial port the Windows way: on Linux the device that the user's mapping names
// ($XDG_CONFIG_HOME/sorvel/dosdevices/comn, a symbolic link, as Wine maps COM ports), else
// /dev/ttyS<n-1>; on Windows \\.\COMn, which opens every port number. Any other name is a
// device path, used as given. The system's side lives in the file named for the OS
// (PortNames_linux.cpp, PortNames_win32.cpp).
//
// Any thread; reads the environment and the file system only.
#pragma once

#include "PlatformExport.h"

#include <string>

namespace sorvel {

// n for "COMn" or "COMn:" (any case, n from 1 without leading zeros); 0 for any other name.
SORVEL_PLATFORM_API unsigned ComPortNumber(const std::string& name);

// The device a port name opens: the mapping's link path or /dev/ttyS<n-1> for a COM name, the
// name itself otherwise.
SORVEL_PLATFORM_API std::string ComPortDevicePath(const std::string& name);

// The device a port name finally reaches: ComPortDevicePath, with a mapping link followed to
// what it names ("" when it names nothing that exists). For telling whether two names reach the
// same port.
SORVEL_PLATFORM_API std::string ComPortTarget(const std::string& name);

} // namespace sorvel
