#include "applier/delta_files.h"

#include <algorithm>
#include <cstring>

namespace applier {

long FileStreamReader::read(void* buffer, std::size_t n) {
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, remaining_));
  if (take == 0) return 0;
  if (!file_.readAt(position_, buffer, take)) return -1;
  position_ += take;
  remaining_ -= take;
  return static_cast<long>(take);
}

FileSource::FileSource(platform::File& file) : file_(file) { file_.size(&size_); }

const std::uint8_t* FileSource::blockData(std::uint64_t block) {
  if (cache_.empty()) {
    // No more slots than the file has blocks: a patch or a source of a few
    // kilobytes does not cost the whole cache (the console applier opens
    // every patch through one).
    slots_ = static_cast<std::size_t>(std::min<std::uint64_t>(kSlots, size_ / kBlock + 1));
    cache_.resize(kBlock * slots_);
    slotBlock_.assign(slots_, ~std::uint64_t{0});
  }
  const std::size_t slot = static_cast<std::size_t>(block % slots_);
  std::uint8_t* data = cache_.data() + slot * kBlock;
  if (slotBlock_[slot] != block) {
    const std::uint64_t start = block * kBlock;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size_ - start));
    slotBlock_[slot] = ~std::uint64_t{0};
    if (!file_.readAt(start, data, n)) return nullptr;
    slotBlock_[slot] = block;
  }
  return data;
}

bool FileSource::readAt(std::uint64_t offset, void* buffer, std::size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
  if (n >= kBlock) return file_.readAt(offset, out, n);  // large copies bypass the cache
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

bool FileOutput::flush() {
  if (buffer_.empty()) return true;
  if (!file_.seek(flushed_) || !file_.write(buffer_.data(), buffer_.size())) return false;
  flushed_ += buffer_.size();
  buffer_.clear();
  return true;
}

bool FileOutput::append(const void* data, std::size_t n) {
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  if (sum_) sum_->update(p, n);
  if (buffer_.size() + n > kBuffer && !flush()) return false;
  if (n >= kBuffer) {
    if (!file_.seek(flushed_) || !file_.write(p, n)) return false;
    flushed_ += n;
    return true;
  }
  buffer_.insert(buffer_.end(), p, p + n);
  return true;
}

bool FileOutput::readBack(std::uint64_t offset, void* buffer, std::size_t n) {
  if (offset + n > flushed_ + buffer_.size()) return false;
  std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
  if (offset < flushed_) {
    const std::size_t fromFile = static_cast<std::size_t>(std::min<std::uint64_t>(n, flushed_ - offset));
    if (!file_.readAt(offset, out, fromFile)) return false;
    out += fromFile;
    offset += fromFile;
    n -= fromFile;
  }
  if (n > 0) std::memcpy(out, buffer_.data() + (offset - flushed_), n);
  return true;
}

}  // namespace applier
