// CRC-32 of the configuration file and of the upload files.
//
// The variant: polynomial 0x04C11DB7 in reflected form (0xEDB88320), input and output reflected,
// initial value 0 and no final inversion. It shares its table with the common CRC-32 (zlib,
// PNG, Ethernet) but starts from 0 instead of 0xFFFFFFFF and ends without the final XOR, so the
// results differ: the check value over "123456789" is 0x2DFD2D88, an empty input gives 0.
//
// A running value continues over further bytes: Crc32Update(Crc32Update(0, a), b) equals the
// CRC of a followed by b. Pure functions; any thread.
#pragma once

#include "SorvelWinTypes.h"

#include <cstddef>

namespace sorvel {

// The check value over the nine ASCII digits "123456789".
constexpr DWORD kCrc32Check = 0x2DFD2D88;

// Advances the running value crc over size bytes; size 0 returns crc unchanged.
[[nodiscard]] DWORD Crc32Update(DWORD crc, const void* data, std::size_t size) noexcept;

// The CRC of a whole buffer, starting from 0.
[[nodiscard]] inline DWORD Crc32(const void* data, std::size_t size) noexcept {
    return Crc32Update(0, data, size);
}

} // namespace sorvel
