#include "patchformat/crc.h"

#include <zlib.h>

#include <algorithm>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <immintrin.h>
#define VERDELIN_CRC_FOLDING 1
#endif

namespace patchformat {
namespace {

#ifdef VERDELIN_CRC_FOLDING
// The register over n bytes (n >= 64, a multiple of 16) by carry-less
// multiplication: four 128-bit lanes are folded forward 64 bytes at a time,
// then into one, then reduced to 32 bits (Barrett). The constants are powers
// of x modulo the reflected polynomial 0xEDB88320. Files are checksummed at
// several GB/s this way, where the table method does about one.
#define VERDELIN_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

VERDELIN_FOLD_TARGET inline __m128i load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x carried forward by the distance that k encodes, plus the next 16 bytes.
VERDELIN_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

VERDELIN_FOLD_TARGET std::uint32_t foldCrc(std::uint32_t crc, const std::uint8_t* p,
                                                                std::size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
    p += 64;
    n -= 64;
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (n >= 16) {
    x1 = fold(x1, k3k4, load(p));
    p += 16;
    n -= 16;
  }
  // 128 to 64 bits, then 64 to 32.
  x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, low32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x2);
  x2 = _mm_and_si128(x1, low32);
  x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
  x2 = _mm_and_si128(x2, low32);
  x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// Asked of the processor itself (cpuid leaf 1, ecx) rather than through the
// compiler's processor model, whose tables would come into every applier.
// Set when the program starts; a checksum taken before that uses the table.
bool processorCanFold() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_PCLMUL) != 0 && (c & bit_SSE4_1) != 0;
}
const bool kCanFold = processorCanFold();
#endif

}  // namespace

// zlib's crc32 complements the register on the way in and out; complementing
// around it gives the plain register value.
std::uint32_t crc32_noinv(std::uint32_t crc, const void* data, std::size_t n) {
  const Bytef* p = static_cast<const Bytef*>(data);
#ifdef VERDELIN_CRC_FOLDING
  if (n >= 64 && kCanFold) {
    const std::size_t folded = n & ~static_cast<std::size_t>(15);
    crc = foldCrc(crc, p, folded);
    p += folded;
    n -= folded;
  }
#endif
  uLong c = ~crc & 0xFFFFFFFFu;
  while (n > 0) {
    const uInt piece = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    c = crc32(c, p, piece);
    p += piece;
    n -= piece;
  }
  return ~static_cast<std::uint32_t>(c);
}

void WindowedCrc::update(const void* data, std::size_t n) {
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  const std::uint64_t skipFrom = window_.start;
  const std::uint64_t skipTo = window_.length == 0 ? skipFrom : skipFrom + window_.length;
  while (n > 0) {
    std::size_t take = n;
    if (position_ < skipFrom) {
      take = static_cast<std::size_t>(std::min<std::uint64_t>(n, skipFrom - position_));
      crc_ = crc32_noinv(crc_, p, take);
    } else if (position_ < skipTo) {
      take = static_cast<std::size_t>(std::min<std::uint64_t>(n, skipTo - position_));
    } else {
      crc_ = crc32_noinv(crc_, p, take);
    }
    p += take;
    n -= take;
    position_ += take;
  }
}

}  // namespace patchformat
