// Fixed-width little-endian coding, the same on every host.
#pragma once

#include <cstdint>
#include <string>

namespace patchformat {

inline void putU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void putU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t getU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t getU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void appendU8(std::string* out, std::uint8_t v) { out->push_back(static_cast<char>(v)); }
inline void appendU16(std::string* out, std::uint16_t v) {
  std::uint8_t b[2];
  putU16(b, v);
  out->append(reinterpret_cast<const char*>(b), 2);
}
inline void appendU32(std::string* out, std::uint32_t v) {
  std::uint8_t b[4];
  putU32(b, v);
  out->append(reinterpret_cast<const char*>(b), 4);
}

}  // namespace patchformat
