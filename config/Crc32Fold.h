// Hardware-assisted CRC-32 for long buffers, one implementation file per processor family (CMake
// chooses it). Internal to the configuration library.
#pragma once

#include "SorvelWinTypes.h"

#include <cstddef>
#include <cstdint>

namespace sorvel::detail {

// Advances the running CRC (reflected 0xEDB88320, no inversions) over a whole number of 16-byte
// blocks at the start of data, when the processor offers carry-less multiplication and size is
// worth it. Returns how many bytes it consumed (a multiple of 16, or 0); the caller finishes the
// rest.
std::size_t Crc32Fold(DWORD* crc, const BYTE* data, std::size_t size) noexcept;

} // namespace sorvel::detail
