// The serial ports that Windows reports: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which
// the serial drivers fill with the COM name of every port they run ("COM3", "COM10").
//
// Any thread; reads the registry only.
#pragma once

#include <string>
#include <vector>

// The port names as the registry holds them, in the registry's order (none in particular);
// empty when the key is missing or unreadable. CUpgradeDlgLogic::ComPortEntries orders them.
std::vector<std::string> ListReportedComPorts();
