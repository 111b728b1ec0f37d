#include "BinaryOutput.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace sorvel::tool {

void MakeStandardOutputBinary() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace sorvel::tool
