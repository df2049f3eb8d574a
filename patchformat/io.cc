#include "patchformat/io.h"

#include <algorithm>
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

const std::uint8_t* CachedReader::blockData(std::uint64_t block) {
  if (cache_.empty()) {
    // No more slots than the source has blocks: a source of a few kilobytes
    // does not cost the whole cache.
    slots_ = static_cast<std::size_t>(std::min<std::uint64_t>(kSlots, size() / kBlock + 1));
    cache_.resize(kBlock * slots_);
    slotBlock_.assign(slots_, ~std::uint64_t{0});
  }
  const std::size_t slot = static_cast<std::size_t>(block % slots_);
  std::uint8_t* data = cache_.data() + slot * kBlock;
  if (slotBlock_[slot] != block) {
    const std::uint64_t start = block * kBlock;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size() - start));
    slotBlock_[slot] = ~std::uint64_t{0};
    if (!inner_.readAt(start, data, n)) return nullptr;
    slotBlock_[slot] = block;
  }
  return data;
}

bool CachedReader::readAt(std::uint64_t offset, void* buffer, std::size_t n) {
  const std::uint64_t total = size();
  if (offset > total || n > total - offset) return false;
  std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
  if (n >= kBlock) return inner_.readAt(offset, out, n);
  while (n > 0) {
    const std::uint8_t* block = blockData(offset / kBlock);
    if (block == nullptr) return false;
    const std::size_t at = static_cast<std::size_t>(offset % kBlock);
    const std::size_t take = std::min(n, kBlock - at);
    std::memcpy(out, block + at, take);
    out += take;
    offset += take;
    n -= take;
  }
  return true;
}

}  // namespace patchformat
