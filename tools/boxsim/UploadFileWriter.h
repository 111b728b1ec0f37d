// The writer of upload files under the simulator's name, as the benchmarks call it. The writer
// itself, with the rest of the format, is in UploadFormat.h.
#pragma once

#include "UploadFormat.h"

namespace sorvel::boxsim {

using upload::Bytes;
using upload::MakeRecord;
using upload::MakeSampleFile;
using upload::MakeUploadFile;

} // namespace sorvel::boxsim
