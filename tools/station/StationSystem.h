// What sorvel-station asks of the operating system: the serial ports it finds, the upgrade
// folder the dialog program remembers, the program's own folder, and the user's browser. The
// calls live in the file named for the system (StationSystem_linux.cpp, StationSystem_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace sorvel::station {

// The serial ports of adapters plugged in, in natural order: /dev/ttyUSB* and /dev/ttyACM* on
// Linux (a computer's own /dev/ttyS* ports are listed whether or not anything is there, and are
// given with --port); every port Windows lists (COM3, ...).
std::vector<std::string> FindSerialPorts();

// The upgrade folder the dialog program (Sorvel_User) remembers for this user, "" for none.
std::string RememberedUpgradeFolder();

// The folder that holds this program, "" when the system does not say.
std::string ProgramFolder();

// Opens address in the user's browser; false with *error when it could not be asked to.
bool OpenInBrowser(const std::string& address, std::string* error);

// The worker program's file name in ProgramFolder(): "sorvel-cli", "sorvel-cli.exe".
extern const char* const kWorkerName;

} // namespace sorvel::station
