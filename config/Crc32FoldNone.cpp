// Processors without a carry-less multiply path: everything goes through zlib.
#include "Crc32Fold.h"

namespace sorvel::detail {

std::size_t Crc32Fold(DWORD*, const BYTE*, std::size_t) noexcept {
    return 0;
}

} // namespace sorvel::detail
