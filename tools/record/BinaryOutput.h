// The standard output written byte for byte. Windows' C runtime would turn every "\n" into
// "\r\n" on the standard output, and the csv's own "\r\n" into "\r\r\n"; elsewhere this does
// nothing. CMake picks the system's file (BinaryOutput_win32.cpp, BinaryOutput_posix.cpp).
#pragma once

namespace sorvel::tool {

void MakeStandardOutputBinary();

} // namespace sorvel::tool
