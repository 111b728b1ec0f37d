// The configuration tool's commands (make, show, verify), apart from main() so that each reads
// its arguments and writes to the streams it is given.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sorvel::tool {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // a file could not be read or written, or did not verify
constexpr int kExitUsage = 2;  // wrong command line

// Runs the tool on its arguments (without the program name). Normal output goes to out, errors
// to err. verify installs a presenter that prints the loader's messages to out.
int RunConfigTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace sorvel::tool
