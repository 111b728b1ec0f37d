#include "BinaryOutput.h"

namespace sorvel::tool {

// POSIX systems write text as it is.
void MakeStandardOutputBinary() {}

} // namespace sorvel::tool
