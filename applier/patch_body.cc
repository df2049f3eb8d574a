#include "applier/patch_body.h"

#include <algorithm>

namespace applier {

namespace {
constexpr std::size_t kStoredPiece = 2000;   // stored bytes read at a time
constexpr std::size_t kExpandPiece = 2000;   // output buffer of one inflate call
}  // namespace

ExpandedBody::ExpandedBody(platform::File& patch, std::uint64_t start, std::uint64_t end, bool compressed,
                           platform::File& temp)
    : patch_(patch), temp_(temp), stored_(start), end_(end), compressed_(compressed), in_(kStoredPiece),
      out_(kExpandPiece) {
  if (compressed_) {
    if (inflateInit2(&z_, -15) != Z_OK) {
      error_ = BodyError::kBuffering;
      finished_ = true;
    } else {
      zOpen_ = true;
    }
  }
}

ExpandedBody::~ExpandedBody() {
  if (zOpen_) inflateEnd(&z_);
}

// One piece of expansion; false when nothing more can come.
bool ExpandedBody::stepOnce() {
  if (finished_) return false;
  if (!compressed_) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStoredPiece, end_ - stored_));
    if (n == 0) return finished_ = true, false;
    if (!patch_.readAt(stored_, in_.data(), n)) return error_ = BodyError::kPatchRead, finished_ = true, false;
    if (!temp_.seek(expanded_) || !temp_.write(in_.data(), n)) {
      return error_ = BodyError::kBuffering, finished_ = true, false;
    }
    stored_ += n;
    expanded_ += n;
    return true;
  }
  if (z_.avail_in == 0 && stored_ < end_) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStoredPiece, end_ - stored_));
    if (!patch_.readAt(stored_, in_.data(), n)) return error_ = BodyError::kPatchRead, finished_ = true, false;
    stored_ += n;
    z_.next_in = in_.data();
    z_.avail_in = static_cast<uInt>(n);
  }
  z_.next_out = out_.data();
  z_.avail_out = static_cast<uInt>(out_.size());
  const int r = inflate(&z_, stored_ < end_ ? Z_SYNC_FLUSH : Z_FINISH);
  const std::size_t produced = out_.size() - z_.avail_out;
  if (produced > 0) {
    if (!temp_.seek(expanded_) || !temp_.write(out_.data(), produced)) {
      return error_ = BodyError::kBuffering, finished_ = true, false;
    }
    expanded_ += produced;
  }
  if (r == Z_STREAM_END) {
    finished_ = true;
    return produced > 0;
  }
  // Damaged data, or no progress with every stored byte used: the stream
  // can never end, so it is corrupt rather than a loop without end.
  if ((r != Z_OK && r != Z_BUF_ERROR) || (produced == 0 && z_.avail_in == 0 && stored_ >= end_)) {
    error_ = BodyError::kCorrupt;
    finished_ = true;
    return false;
  }
  return true;
}

void ExpandedBody::expandTo(std::uint64_t wanted) {
  if (wanted > expanded_ + kRoomCheckFrom && !finished_ && error_ == BodyError::kNone && roomFor_ &&
      !roomFor_(wanted - expanded_)) {
    error_ = BodyError::kNoRoom;
    refused_ = wanted - expanded_;
    finished_ = true;
    return;
  }
  while (expanded_ < wanted && stepOnce()) {
  }
}

long ExpandedBody::read(void* buffer, std::size_t n) {
  expandTo(position_ + n);
  const std::uint64_t available = expanded_ > position_ ? expanded_ - position_ : 0;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, available));
  if (take == 0) return error_ == BodyError::kNone ? 0 : -1;
  if (!temp_.readAt(position_, buffer, take)) {
    error_ = BodyError::kBuffering;
    return -1;
  }
  position_ += take;
  return static_cast<long>(take);
}

}  // namespace applier
