#include "patchformat/io.h"

#include <cstring>

namespace patchformat {

long MemoryReader::read(void* buffer, std::size_t n) {
  if (n > size_ - position_) n = size_ - position_;
  if (n > 0) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return static_cast<long>(n);
}

bool MemoryRandomReader::readAt(std::uint64_t offset, void* buffer, std::size_t n) {
  if (offset > data_.size() || n > data_.size() - offset) return false;
  if (n > 0) std::memcpy(buffer, data_.data() + offset, n);
  return true;
}

bool MemoryOutput::append(const void* data, std::size_t n) {
  bytes_.append(static_cast<const char*>(data), n);
  return true;
}

bool MemoryOutput::readBack(std::uint64_t offset, void* buffer, std::size_t n) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
  if (n > 0) std::memcpy(buffer, bytes_.data() + offset, n);
  return true;
}

}  // namespace patchformat
