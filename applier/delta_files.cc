#include "applier/delta_files.h"

#include <algorithm>
#include <cstring>

namespace applier {

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
