// The name of the event through which sorvel-cli on Windows takes a stop request from another
// program (the station), as it takes Ctrl-C: Local\sorvel-cli-stop-<process id, decimal>. Both
// sides name it with this function.
#pragma once

#include <string>

namespace sorvel {

inline std::string CliStopEventName(unsigned long pid) {
    return "Local\\sorvel-cli-stop-" + std::to_string(pid);
}

} // namespace sorvel
