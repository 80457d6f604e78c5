#include "store/Checksum.h"

#include <zlib.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QV_FOLDED_CRC 1
#endif

namespace {

uint32_t ZlibCrc32(uint32_t crc, const char* data, size_t size)
{
    return static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

#ifdef QV_FOLDED_CRC

// Shorter runs are not worth setting the folding up for.
constexpr size_t kMinFolded = 256;

#define QV_FOLDING __attribute__((target("pclmul,sse4.1")))

QV_FOLDING __m128i Load(const char* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times the two constants of k, one for each half, added to next.
QV_FOLDING __m128i Fold(__m128i x, __m128i k, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds the bytes into the remainder four 16-byte lanes at a time, then the lanes into one, then
// reduces that to 32 bits (Barrett). The constants are powers of x modulo the CRC-32 polynomial
// in the bit-reflected order the CRC uses: x^(4*128+32) and x^(4*128-32) for the four-lane fold,
// x^(128+32) and x^(128-32) for one lane, x^64 for the last 64 bits, then the polynomial itself
// and floor(x^64 / P). size is a multiple of 16 and at least 64; crc is not inverted.
QV_FOLDING uint32_t Folded(uint32_t crc, const char* data, size_t size)
{
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x1 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(data + 16);
    __m128i x3 = Load(data + 32);
    __m128i x4 = Load(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x1 = Fold(x1, k1k2, Load(data));
        x2 = Fold(x2, k1k2, Load(data + 16));
        x3 = Fold(x3, k1k2, Load(data + 32));
        x4 = Fold(x4, k1k2, Load(data + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; size >= 16; data += 16, size -= 16)
        x1 = Fold(x1, k3k4, Load(data));

    // 128 bits to 64, then to 32 by Barrett reduction.
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_srli_si128(x, 4),
                      _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool CanFold()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#endif

} // namespace

uint32_t Crc32(uint32_t crc, const char* data, size_t size)
{
#ifdef QV_FOLDED_CRC
    if (size >= kMinFolded && CanFold()) {
        const size_t folded = size & ~size_t(15);
        crc = ~Folded(~crc, data, folded);
        data += folded;
        size -= folded;
    }
#endif
    return size > 0 ? ZlibCrc32(crc, data, size) : crc;
}
