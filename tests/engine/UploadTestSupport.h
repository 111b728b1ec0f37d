// Helpers for the engine's tests that need no box and no serial port: upload files built record
// by record (on the format's writer), a reset of the library-wide state between tests,
// and a count of the descriptors the process holds.
#pragma once

#include "EngineState.h"
#include "UploadFormat.h"

#include <cstdint>
#include <vector>

namespace tarvik::test {

using Bytes = std::vector<std::uint8_t>;

// A record whose length field is length (length + 9 bytes in all), its contents from seed.
inline Bytes MakeRecord(std::uint32_t length, std::uint32_t seed) {
    return sorvel::upload::MakeRecord(length + sorvel::upload::kRecordOverheadBytes, seed);
}
// n records whose length field is length, counted exactly.
inline Bytes MakeUniformFile(std::size_t n, std::uint32_t length) {
    return sorvel::upload::MakeSampleFile(n, length + sorvel::upload::kRecordOverheadBytes, 1);
}
using sorvel::upload::MakeUploadFile; // (count, records): the count as given
Bytes Concat(const std::vector<Bytes>& parts);

// Ends any connection and upload and puts the library-wide state back to its load-time values,
// with the shipped handshake timing.
void ResetEngine();

// Descriptors (on Windows, handles) the process holds now.
long OpenDescriptors();

} // namespace tarvik::test
