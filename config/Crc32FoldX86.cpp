// CRC-32 by folding with carry-less multiplication (PCLMULQDQ), for x86-64.
//
// The method of Gopal et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ
// Instruction" (Intel, 2009), in the bit-reflected domain: four 128-bit lanes are folded forward
// 64 bytes at a time, then into one lane, then the 128-bit remainder is reduced to 32 bits with
// a Barrett reduction. Because the CRC is linear, a running value enters by XOR into the first
// four bytes, and the result is the register itself: no inversion happens here, so the code
// serves this project's variant (initial value 0, no final XOR) directly.
//
// The instructions are enabled per function (target attribute) and chosen at run time, so the
// program still runs on processors without them.
#include "Crc32Fold.h"

#include <immintrin.h>

namespace sorvel::detail {
namespace {

// Folding constants of the reflected polynomial 0x1DB710641 (x^n mod P, bit-reflected):
// k1/k2 fold by 512 bits (four lanes), k3/k4 by 128 bits, k5 from 64 to 32 bits; mu and P' for
// the Barrett reduction.
alignas(16) constexpr std::uint64_t kK1K2[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr std::uint64_t kK3K4[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr std::uint64_t kK5K0[2] = {0x0163cd6124, 0x0000000000};
alignas(16) constexpr std::uint64_t kPolyMu[2] = {0x01db710641, 0x01f7011641};

// Below this the set-up costs more than the table code saves.
constexpr std::size_t kMinFoldBytes = 64;

#define SORVEL_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

SORVEL_CLMUL_TARGET inline __m128i Load(const BYTE* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds the lane acc forward by the distance in k and adds the next block.
SORVEL_CLMUL_TARGET inline __m128i FoldInto(__m128i acc, __m128i next, __m128i k) {
    __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

SORVEL_CLMUL_TARGET DWORD Fold(DWORD crc, const BYTE* p, std::size_t n) {
    // n is a multiple of 16 and at least 64.
    __m128i x1 = Load(p);
    __m128i x2 = Load(p + 16);
    __m128i x3 = Load(p + 32);
    __m128i x4 = Load(p + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 64;
    n -= 64;

    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kK1K2));
    while (n >= 64) {
        __m128i lo1 = _mm_clmulepi64_si128(x1, k, 0x00);
        __m128i lo2 = _mm_clmulepi64_si128(x2, k, 0x00);
        __m128i lo3 = _mm_clmulepi64_si128(x3, k, 0x00);
        __m128i lo4 = _mm_clmulepi64_si128(x4, k, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, lo1), Load(p));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, lo2), Load(p + 16));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, lo3), Load(p + 32));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, lo4), Load(p + 48));
        p += 64;
        n -= 64;
    }

    // Four lanes into one, then the remaining 16-byte blocks.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kK3K4));
    x1 = FoldInto(x1, x2, k);
    x1 = FoldInto(x1, x3, k);
    x1 = FoldInto(x1, x4, k);
    while (n >= 16) {
        x1 = FoldInto(x1, Load(p), k);
        p += 16;
        n -= 16;
    }

    // 128 bits to 64, then to 32.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i t = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kK5K0));
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00);
    x1 = _mm_xor_si128(x1, t);

    // Barrett reduction.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kPolyMu));
    t = _mm_and_si128(x1, low32);
    t = _mm_clmulepi64_si128(t, k, 0x10);
    t = _mm_and_si128(t, low32);
    t = _mm_clmulepi64_si128(t, k, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<DWORD>(_mm_extract_epi32(x1, 1));
}

bool ProcessorCanFold() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

} // namespace

std::size_t Crc32Fold(DWORD* crc, const BYTE* data, std::size_t size) noexcept {
    static const bool canFold = ProcessorCanFold();
    if (!canFold || size < kMinFoldBytes)
        return 0;
    const std::size_t blocks = size & ~static_cast<std::size_t>(15);
    *crc = Fold(*crc, data, blocks);
    return blocks;
}

} // namespace sorvel::detail
