// Numbers as text without the C library's formatter: in the Windows
// appliers that formatter brings its floating-point code along, about 25 KB
// of every self-applying patch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The low `digits` hexadecimal digits of `value`, lowercase, zero-padded.
inline std::string hexDigits(std::uint64_t value, std::size_t digits) {
  std::string text(digits, '0');
  for (std::size_t i = digits; i-- > 0; value >>= 4) text[i] = "0123456789abcdef"[value & 15];
  return text;
}

// `value` in decimal, zero-padded to at least `width` digits.
inline std::string paddedDecimal(std::uint32_t value, std::size_t width) {
  std::string text = std::to_string(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

}  // namespace platform
