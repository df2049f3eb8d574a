#include "patchformat/crc.h"

#include <zlib.h>

#include <algorithm>

namespace patchformat {

// zlib's crc32 complements the register on the way in and out; complementing
// around it gives the plain register value.
std::uint32_t crc32_noinv(std::uint32_t crc, const void* data, std::size_t n) {
  const Bytef* p = static_cast<const Bytef*>(data);
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
