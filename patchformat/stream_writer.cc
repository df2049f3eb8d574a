#include "patchformat/stream_writer.h"

namespace patchformat {

void StreamWriter::closePartialByte() {
  if (pendingBits_ == 0) return;
  bytes_.push_back(static_cast<char>(partial_));
  partial_ = 0;
  pendingBits_ = 0;
}

void StreamWriter::putByte(std::uint8_t b) {
  closePartialByte();
  bytes_.push_back(static_cast<char>(b));
}

void StreamWriter::putBytes(const void* data, std::size_t n) {
  if (n == 0) return;
  closePartialByte();
  bytes_.append(static_cast<const char*>(data), n);
}

void StreamWriter::putBit(bool b) {
  if (b) partial_ = static_cast<std::uint8_t>(partial_ | (1u << pendingBits_));
  if (++pendingBits_ == 8) closePartialByte();
}

std::string StreamWriter::bytes() const {
  return pendingBits_ == 0 ? bytes_ : bytes_ + static_cast<char>(partial_);
}

}  // namespace patchformat
