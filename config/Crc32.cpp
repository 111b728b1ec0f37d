#include "Crc32.h"

#include "Crc32Fold.h"

#include <zlib.h>

namespace sorvel {

// Long buffers go through carry-less multiplication where the processor has it (Crc32Fold*.cpp);
// the rest goes through zlib. zlib's crc32() is the same table-driven reflected CRC, wrapped in
// an inversion on entry and on exit. Inverting around it cancels both, so a running value c
// continues as ~crc32(~c, data). Both are several times faster than a byte-wise table loop,
// which matters for upload files of many megabytes.
DWORD Crc32Update(DWORD crc, const void* data, std::size_t size) noexcept {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    const std::size_t folded = detail::Crc32Fold(&crc, bytes, size);
    bytes += folded;
    size -= folded;
    // crc32_z() answers 0 for a null buffer whatever the length; an empty input must leave the
    // running value as it is.
    if (size == 0)
        return crc;
    uLong zlibCrc = static_cast<DWORD>(~crc);
    zlibCrc = crc32_z(zlibCrc, bytes, size);
    return static_cast<DWORD>(~zlibCrc);
}

} // namespace sorvel
