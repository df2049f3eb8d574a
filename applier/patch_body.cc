#include "applier/patch_body.h"

#include <algorithm>

namespace applier {

namespace {
constexpr std::size_t kStoredPiece = 2000;   // stored bytes read at a time
constexpr std::size_t kExpandPiece = 2000;   // output buffer of one inflate call that is kept
constexpr std::size_t kPassPiece = 1 << 16;  // the same for bytes that are handed on, not kept
}  // namespace

ExpandedBody::ExpandedBody(platform::File& patch, std::uint64_t start, std::uint64_t end, bool compressed,
                           platform::File& temp)
    : patch_(patch), temp_(temp), start_(start), stored_(start), end_(end), compressed_(compressed),
      in_(kStoredPiece), out_(kExpandPiece) {
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
  if (replayOpen_) inflateEnd(&replay_);
}

std::vector<ExpandedBody::Passed>::const_iterator ExpandedBody::passedAfter(std::uint64_t logical) const {
  return std::upper_bound(passed_.begin(), passed_.end(), logical,
                          [](std::uint64_t at, const Passed& p) { return at < p.start; });
}

const ExpandedBody::Passed* ExpandedBody::passedAt(std::uint64_t logical) const {
  const auto after = passedAfter(logical);
  if (after == passed_.begin()) return nullptr;
  const Passed& p = *(after - 1);
  return logical < p.start + p.length ? &p : nullptr;
}

std::uint64_t ExpandedBody::physical(std::uint64_t logical) const {
  const auto after = passedAfter(logical);
  if (after == passed_.begin()) return logical;
  const Passed& p = *(after - 1);
  return logical - p.before - std::min(p.length, logical - p.start);
}

// One piece of expansion; false when nothing more can come.
bool ExpandedBody::stepOnce() {
  if (finished_) return false;
  const bool passing = expanded_ < passEnd_;
  std::vector<std::uint8_t>& out = passing ? passOut_ : out_;
  if (passing && out.empty()) out.resize(kPassPiece);
  // Hands on or keeps `n` bytes at `data` that follow expanded_.
  const auto deliver = [&](const std::uint8_t* data, std::size_t n) {
    if (passing) {
      if (!passed_.empty() && passed_.back().start + passed_.back().length == expanded_) {
        passed_.back().length += n;
      } else {
        const std::uint64_t before = passed_.empty() ? 0 : passed_.back().before + passed_.back().length;
        passed_.push_back(Passed{expanded_, n, before});
      }
      expanded_ += n;
      if (*passSink_ && !(*passSink_)(data, n)) return sinkStopped_ = true, false;
      return true;
    }
    if (!temp_.seek(physical(expanded_)) || !temp_.write(data, n)) {
      return error_ = BodyError::kBuffering, finished_ = true, false;
    }
    expanded_ += n;
    return true;
  };
  if (!compressed_) {
    std::uint64_t n = std::min<std::uint64_t>(kStoredPiece, end_ - stored_);
    if (passing) n = std::min(end_ - stored_, passEnd_ - expanded_);
    if (n == 0) return finished_ = true, false;
    if (passing && !*passSink_) {  // nothing needs these bytes: they are not even read
      stored_ += n;
      return deliver(nullptr, static_cast<std::size_t>(n));
    }
    n = std::min<std::uint64_t>(n, out.size());
    if (!patch_.readAt(stored_, out.data(), static_cast<std::size_t>(n))) {
      return error_ = BodyError::kPatchRead, finished_ = true, false;
    }
    stored_ += n;
    return deliver(out.data(), static_cast<std::size_t>(n));
  }
  if (z_.avail_in == 0 && stored_ < end_) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStoredPiece, end_ - stored_));
    if (!patch_.readAt(stored_, in_.data(), n)) return error_ = BodyError::kPatchRead, finished_ = true, false;
    stored_ += n;
    z_.next_in = in_.data();
    z_.avail_in = static_cast<uInt>(n);
  }
  z_.next_out = out.data();
  // A passed piece ends where passing ends, so no piece is part kept and part not.
  z_.avail_out = static_cast<uInt>(passing ? std::min<std::uint64_t>(out.size(), passEnd_ - expanded_) : out.size());
  const std::size_t room = z_.avail_out;
  const int r = inflate(&z_, stored_ < end_ ? Z_SYNC_FLUSH : Z_FINISH);
  const std::size_t produced = room - z_.avail_out;
  if (produced > 0 && !deliver(out.data(), produced)) return false;
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

bool ExpandedBody::fetchPassed(std::uint64_t at, std::uint64_t n, const Sink& sink) {
  if (!compressed_) {
    for (std::uint64_t done = 0; done < n;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(passOut_.size(), n - done));
      if (!patch_.readAt(start_ + at + done, passOut_.data(), piece)) return error_ = BodyError::kPatchRead, false;
      if (!sink(passOut_.data(), piece)) return false;
      done += piece;
    }
    return true;
  }
  // The second inflater runs on from where it stopped; only a range behind
  // it makes it start again from the beginning of the body.
  if (!replayOpen_) {
    if (inflateInit2(&replay_, -15) != Z_OK) return error_ = BodyError::kBuffering, false;
    replayOpen_ = true;
    replayIn_.resize(kStoredPiece);
    replayStored_ = start_;
    replayed_ = 0;
  } else if (replayed_ > at) {
    inflateReset(&replay_);
    replay_.avail_in = 0;
    replayStored_ = start_;
    replayed_ = 0;
  }
  while (replayed_ < at + n) {
    if (replay_.avail_in == 0 && replayStored_ < end_) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kStoredPiece, end_ - replayStored_));
      if (!patch_.readAt(replayStored_, replayIn_.data(), piece)) return error_ = BodyError::kPatchRead, false;
      replayStored_ += piece;
      replay_.next_in = replayIn_.data();
      replay_.avail_in = static_cast<uInt>(piece);
    }
    replay_.next_out = passOut_.data();
    replay_.avail_out = static_cast<uInt>(passOut_.size());
    const int r = inflate(&replay_, Z_SYNC_FLUSH);
    const std::size_t produced = passOut_.size() - replay_.avail_out;
    // The part of this piece that lies in [at, at + n).
    const std::uint64_t from = std::max(at, replayed_), to = std::min(at + n, replayed_ + produced);
    if (from < to && !sink(passOut_.data() + (from - replayed_), static_cast<std::size_t>(to - from))) {
      replayed_ += produced;
      return false;
    }
    replayed_ += produced;
    const bool stuck = produced == 0 && replay_.avail_in == 0 && replayStored_ >= end_;
    if (replayed_ < at + n && (r == Z_STREAM_END || (r != Z_OK && r != Z_BUF_ERROR) || stuck)) {
      return error_ = BodyError::kCorrupt, false;  // the first inflater made these bytes: the patch changed
    }
  }
  return true;
}

bool ExpandedBody::fetch(std::uint64_t at, std::uint64_t n, const Sink& sink) {
  while (n > 0) {
    std::uint64_t piece = n;
    if (const Passed* p = passedAt(at)) {
      piece = std::min(n, p->start + p->length - at);
      if (!fetchPassed(at, piece, sink)) return false;
    } else {
      const auto next = passedAfter(at);
      if (next != passed_.end()) piece = std::min(n, next->start - at);
      std::vector<std::uint8_t>& buffer = piece > out_.size() && !passOut_.empty() ? passOut_ : out_;
      for (std::uint64_t done = 0; done < piece;) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), piece - done));
        if (!temp_.readAt(physical(at + done), buffer.data(), part)) return error_ = BodyError::kBuffering, false;
        if (!sink(buffer.data(), part)) return false;
        done += part;
      }
    }
    at += piece;
    n -= piece;
  }
  return true;
}

bool ExpandedBody::stream(std::uint64_t at, std::uint64_t n, const Sink& sink) {
  if (passOut_.empty()) passOut_.resize(kPassPiece);
  expandTo(at);
  if (expanded_ < at) return false;
  const std::uint64_t end = at + n;
  const std::uint64_t have = std::min(end, expanded_);
  if (sink && at < have && !fetch(at, have - at, sink)) return false;
  sinkStopped_ = false;
  passEnd_ = end;
  passSink_ = &sink;
  while (expanded_ < end && stepOnce()) {
  }
  passEnd_ = 0;
  passSink_ = nullptr;
  return expanded_ >= end && !sinkStopped_;
}

long ExpandedBody::read(void* buffer, std::size_t n) {
  expandTo(position_ + n);
  const std::uint64_t available = expanded_ > position_ ? expanded_ - position_ : 0;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, available));
  if (take == 0) return error_ == BodyError::kNone ? 0 : -1;
  // Record headers are read in small pieces: kept bytes go straight from
  // the temporary file into the buffer.
  const auto next = passedAfter(position_);
  if (passedAt(position_) == nullptr && (next == passed_.end() || next->start >= position_ + take)) {
    if (!temp_.readAt(physical(position_), buffer, take)) {
      error_ = BodyError::kBuffering;
      return -1;
    }
    position_ += take;
    return static_cast<long>(take);
  }
  std::uint8_t* to = static_cast<std::uint8_t*>(buffer);
  if (!fetch(position_, take, [&to](const std::uint8_t* data, std::size_t part) {
        std::copy(data, data + part, to);
        to += part;
        return true;
      })) {
    return -1;
  }
  position_ += take;
  return static_cast<long>(take);
}

}  // namespace applier
