#include "applier/patch_body.h"

#include <algorithm>

#include "patchformat/body_coding.h"

namespace applier {

namespace {
constexpr std::size_t kStoredPiece = 2000;   // stored bytes read at a time
constexpr std::size_t kExpandPiece = 2000;   // output buffer of one expansion step that is kept
constexpr std::size_t kPassPiece = 1 << 16;  // the same for bytes that are handed on

BodyError errorOf(patchformat::BodyExpander::Status status) {
  switch (status) {
    case patchformat::BodyExpander::Status::kMore:
    case patchformat::BodyExpander::Status::kEnd: return BodyError::kNone;
    case patchformat::BodyExpander::Status::kNoMemory: return BodyError::kNoMemory;
    case patchformat::BodyExpander::Status::kCorrupt: break;
  }
  return BodyError::kCorrupt;
}
}  // namespace

// The stored bytes [start, end) of the patch expanded from the first on,
// read a piece at a time as the expander takes them; without an expander
// (a stored body) they are read straight into the output.
class ExpandedBody::Expansion {
 public:
  Expansion(platform::File& patch, std::uint64_t start, std::uint64_t end,
            std::unique_ptr<patchformat::BodyExpander> expander)
      : patch_(patch), start_(start), end_(end), stored_(start), expander_(std::move(expander)) {
    if (expander_) in_.resize(kStoredPiece);
  }

  // Up to `room` (> 0) body bytes into `out`, *made of them. kNone while
  // the body goes on and once it has ended (ended()); else why it stopped.
  BodyError next(std::uint8_t* out, std::size_t room, std::size_t* made) {
    *made = 0;
    if (ended_) return BodyError::kNone;
    if (!expander_) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(room, end_ - stored_));
      if (n == 0) return ended_ = true, BodyError::kNone;
      if (!patch_.readAt(stored_, out, n)) return BodyError::kPatchRead;
      stored_ += n;
      made_ += n;
      *made = n;
      return BodyError::kNone;
    }
    if (at_ == filled_ && stored_ < end_) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), end_ - stored_));
      if (!patch_.readAt(stored_, in_.data(), n)) return BodyError::kPatchRead;
      stored_ += n;
      at_ = 0;
      filled_ = n;
    }
    std::size_t used = 0;
    const patchformat::BodyExpander::Status status =
        expander_->expand(in_.data() + at_, filled_ - at_, stored_ >= end_, &used, out, room, made);
    at_ += used;
    made_ += *made;
    if (status == patchformat::BodyExpander::Status::kEnd) ended_ = true;
    return errorOf(status);
  }

  // Passes over up to `n` bytes of a stored body without reading them; how many.
  std::uint64_t skip(std::uint64_t n) {
    n = std::min(n, end_ - stored_);
    if (n == 0) ended_ = true;
    stored_ += n;
    made_ += n;
    return n;
  }

  // Back to the body's first byte.
  BodyError restart() {
    stored_ = start_;
    at_ = filled_ = 0;
    made_ = 0;
    ended_ = false;
    return expander_ ? errorOf(expander_->restart()) : BodyError::kNone;
  }

  bool ended() const { return ended_; }
  std::uint64_t made() const { return made_; }  // body bytes expanded so far

 private:
  platform::File& patch_;
  const std::uint64_t start_;
  const std::uint64_t end_;
  std::uint64_t stored_;  // next stored byte to read
  std::unique_ptr<patchformat::BodyExpander> expander_;
  std::vector<std::uint8_t> in_;
  std::size_t at_ = 0;      // next byte of in_ for the expander
  std::size_t filled_ = 0;  // bytes in in_
  std::uint64_t made_ = 0;
  bool ended_ = false;
};

ExpandedBody::ExpandedBody(platform::File& patch, std::uint64_t start, std::uint64_t end,
                           const patchformat::PatchHeader& header, platform::File& temp)
    : patch_(patch),
      temp_(temp),
      header_(header),
      start_(start),
      end_(end),
      storedBody_(header.bodyCoding() == patchformat::BodyCoding::kStored),
      keepsStreamed_(header.bodyCoding() == patchformat::BodyCoding::kLzma),
      main_(std::make_unique<Expansion>(patch, start, end, patchformat::makeBodyExpander(header))),
      out_(kExpandPiece) {}

ExpandedBody::~ExpandedBody() = default;

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
  const bool handing = expanded_ < passEnd_;
  const bool keeping = !handing || keepsStreamed_;
  std::vector<std::uint8_t>& out = handing ? passOut_ : out_;
  // Keeps or hands on (or both) `n` bytes at `data` that follow expanded_.
  const auto deliver = [&](const std::uint8_t* data, std::uint64_t n) {
    if (keeping) {
      if (!temp_.seek(physical(expanded_)) || !temp_.write(data, static_cast<std::size_t>(n))) {
        return error_ = BodyError::kBuffering, finished_ = true, false;
      }
    } else if (!passed_.empty() && passed_.back().start + passed_.back().length == expanded_) {
      passed_.back().length += n;
    } else {
      const std::uint64_t before = passed_.empty() ? 0 : passed_.back().before + passed_.back().length;
      passed_.push_back(Passed{expanded_, n, before});
    }
    expanded_ += n;
    if (handing && *passSink_ && !(*passSink_)(data, static_cast<std::size_t>(n))) return sinkStopped_ = true, false;
    return true;
  };
  if (handing && !keeping && storedBody_ && !*passSink_) {
    // Nothing needs these bytes: they are not even read.
    const std::uint64_t n = main_->skip(passEnd_ - expanded_);
    if (n == 0) return finished_ = true, false;
    return deliver(nullptr, n);
  }
  // A piece that is handed on ends where handing on ends, so no piece is
  // part handed on and part not.
  const auto room =
      static_cast<std::size_t>(handing ? std::min<std::uint64_t>(out.size(), passEnd_ - expanded_) : out.size());
  std::size_t made = 0;
  const BodyError error = main_->next(out.data(), room, &made);
  // The bytes of a step that failed are not the body's: an LZMA stream
  // that does not end where it must has its last piece withheld, so that
  // the walk cannot take a damaged end for the body's.
  if (error != BodyError::kNone) return error_ = error, finished_ = true, false;
  if (made > 0 && !deliver(out.data(), made)) return false;
  if (main_->ended()) finished_ = true;
  return made > 0 || !finished_;
}

bool ExpandedBody::roomFor(std::uint64_t wanted) {
  if (wanted <= expanded_ + kRoomCheckFrom || finished_ || error_ != BodyError::kNone || !roomFor_ ||
      roomFor_(wanted - expanded_)) {
    return true;
  }
  error_ = BodyError::kNoRoom;
  refused_ = wanted - expanded_;
  finished_ = true;
  return false;
}

void ExpandedBody::expandTo(std::uint64_t wanted) {
  if (!roomFor(wanted)) return;
  while (expanded_ < wanted && stepOnce()) {
  }
}

bool ExpandedBody::fetchPassed(std::uint64_t at, std::uint64_t n, const Sink& sink) {
  if (storedBody_) {
    for (std::uint64_t done = 0; done < n;) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(passOut_.size(), n - done));
      if (!patch_.readAt(start_ + at + done, passOut_.data(), piece)) return error_ = BodyError::kPatchRead, false;
      if (!sink(passOut_.data(), piece)) return false;
      done += piece;
    }
    return true;
  }
  // A deflated body (an LZMA body passes nothing): the second expander runs
  // on from where it stopped; only a range behind it makes it start again
  // from the beginning of the body.
  if (!replay_) {
    replay_ = std::make_unique<Expansion>(patch_, start_, end_, patchformat::makeBodyExpander(header_));
  } else if (replay_->made() > at) {
    const BodyError error = replay_->restart();
    if (error != BodyError::kNone) return error_ = error, false;
  }
  while (replay_->made() < at + n) {
    const std::uint64_t before = replay_->made();
    std::size_t made = 0;
    const BodyError error = replay_->next(passOut_.data(), passOut_.size(), &made);
    // The part of this piece that lies in [at, at + n).
    const std::uint64_t from = std::max(at, before), to = std::min(at + n, before + made);
    if (error != BodyError::kNone) return error_ = error, false;
    if (from < to && !sink(passOut_.data() + (from - before), static_cast<std::size_t>(to - from))) return false;
    if (made == 0 && replay_->ended()) {
      return error_ = BodyError::kCorrupt, false;  // the first expander made these bytes: the patch changed
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
  // An LZMA body keeps what is expanded here: the volume must have room for it.
  if (keepsStreamed_ && !roomFor(end)) return false;
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
