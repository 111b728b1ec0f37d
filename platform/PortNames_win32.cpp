// Port names on Windows: "COMn" and "COMn:" open the device \\.\COMn, which reaches every port
// number (CreateFile needs that form from COM10 on); other names are used as given.
#include "PortNames.h"

namespace sorvel {

std::string ComPortDevicePath(const std::string& name) {
    const unsigned n = ComPortNumber(name);
    return n == 0 ? name : "\\\\.\\COM" + std::to_string(n);
}

std::string ComPortTarget(const std::string& name) {
    return ComPortDevicePath(name);
}

} // namespace sorvel
