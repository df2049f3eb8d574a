// crc32_noinv: the file checksum of the whole system. CRC-32 with the
// reflected polynomial 0xEDB88320, register started at 0xFFFFFFFF and no
// final complement, so the value is the complement of the usual CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace patchformat {

constexpr std::uint32_t kCrcStart = 0xFFFFFFFFu;

// Continues `crc` (a register value, kCrcStart for a new run) over the bytes.
std::uint32_t crc32_noinv(std::uint32_t crc, const void* data, std::size_t n);
inline std::uint32_t crc32_noinv(const void* data, std::size_t n) { return crc32_noinv(kCrcStart, data, n); }

// Bytes [start, start + length) of a file that the checksum skips; a length
// of 0 covers the whole file.
struct ExclusionWindow {
  std::uint32_t start = 0;
  std::uint32_t length = 0;
};

// Checksum of a file read in pieces, skipping one exclusion window. Feed the
// bytes in file order, in pieces of any size.
class WindowedCrc {
 public:
  explicit WindowedCrc(ExclusionWindow window = ExclusionWindow()) : window_(window) {}
  void update(const void* data, std::size_t n);
  std::uint32_t value() const { return crc_; }

 private:
  ExclusionWindow window_;
  std::uint64_t position_ = 0;
  std::uint32_t crc_ = kCrcStart;
};

}  // namespace patchformat
