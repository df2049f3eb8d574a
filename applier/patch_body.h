// The logical body of a patch, expanded into a temporary file only as far
// as it is read.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patchformat/io.h"
#include "platform/files.h"

namespace applier {

// Why reading the body stopped.
enum class BodyError {
  kNone,
  kCorrupt,        // damaged deflate data or a read past the body's end
  kPatchRead,      // the patch file could not be read
  kBuffering,      // the temporary file could not be written
  kNoRoom,         // the temporary volume has no room for what a read needs
};

// Reads the logical body sequentially; stored bytes are inflated (or
// copied) into `temp` only when a read needs them, so data after the last
// record costs nothing. `rewind` goes back to the start for a second pass.
//
// A range that `stream` expands is not kept: its bytes go to the caller
// only, and the temporary file holds the kept ranges one after another.
// Read again, such a range comes from the patch itself (a stored body) or
// from a second inflater that follows the walks through the body, so an
// embedded file costs no temporary space however large it is.
class ExpandedBody : public patchformat::ByteReader {
 public:
  // Takes bytes in pieces; false stops the stream.
  using Sink = std::function<bool(const std::uint8_t* data, std::size_t n)>;

  ExpandedBody(platform::File& patch, std::uint64_t start, std::uint64_t end, bool compressed, platform::File& temp);
  ~ExpandedBody() override;
  ExpandedBody(const ExpandedBody&) = delete;
  ExpandedBody& operator=(const ExpandedBody&) = delete;

  long read(void* buffer, std::size_t n) override;
  void rewind() { position_ = 0; }
  void seek(std::uint64_t position) { position_ = position; }
  // True when the first `end` bytes of the body exist in the temporary file.
  bool ensure(std::uint64_t end) {
    expandTo(end);
    return expanded_ >= end;
  }
  // Hands the body's bytes [at, at + n) to `sink` in order (none to an
  // empty sink); what lies beyond the expanded part is expanded now and
  // not kept. False when the body ends first, on an error, or when the sink
  // said stop (error() then stays kNone).
  bool stream(std::uint64_t at, std::uint64_t n, const Sink& sink);
  // Where the kept byte `logical` of the body lies in the temporary file.
  std::uint64_t physical(std::uint64_t logical) const;
  std::uint64_t position() const { return position_; }
  std::uint64_t expanded() const { return expanded_; }
  // Asked before a step that expands more than kRoomCheckFrom bytes at once
  // (a long skip, an embedded file): false stops the body with kNoRoom, so
  // that a small patch claiming a huge body cannot fill the disk.
  static constexpr std::uint64_t kRoomCheckFrom = 1 << 20;
  void setRoomCheck(std::function<bool(std::uint64_t bytes)> check) { roomFor_ = std::move(check); }
  // The bytes the refused step asked for.
  std::uint64_t refusedBytes() const { return refused_; }
  BodyError error() const { return error_; }

 private:
  // A range of the body expanded without being kept.
  struct Passed {
    std::uint64_t start;
    std::uint64_t length;
    std::uint64_t before;  // passed bytes before `start`
  };
  // Expands until at least `wanted` bytes exist or the body ends.
  void expandTo(std::uint64_t wanted);
  // One piece of expansion, kept or (up to passEnd_) handed to passSink_.
  bool stepOnce();
  // Hands on [at, at + n) of the expanded part, from the temporary file or
  // (passed ranges) from the patch again.
  bool fetch(std::uint64_t at, std::uint64_t n, const Sink& sink);
  bool fetchPassed(std::uint64_t at, std::uint64_t n, const Sink& sink);
  // The first passed range that starts after `logical`.
  std::vector<Passed>::const_iterator passedAfter(std::uint64_t logical) const;
  // The passed range holding `logical`, or nullptr.
  const Passed* passedAt(std::uint64_t logical) const;

  platform::File& patch_;
  platform::File& temp_;
  const std::uint64_t start_;
  std::uint64_t stored_;       // next stored byte to read
  const std::uint64_t end_;
  const bool compressed_;
  z_stream z_{};
  bool zOpen_ = false;
  bool finished_ = false;
  std::vector<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  std::vector<std::uint8_t> passOut_;  // pieces that are handed on
  std::uint64_t expanded_ = 0;
  std::vector<Passed> passed_;
  std::uint64_t passEnd_ = 0;      // while stream() expands: where passing stops
  const Sink* passSink_ = nullptr;
  bool sinkStopped_ = false;  // the sink of the current stream() said stop
  // The second inflater, for passed ranges of a deflated body.
  z_stream replay_{};
  bool replayOpen_ = false;
  std::uint64_t replayStored_ = 0;
  std::uint64_t replayed_ = 0;     // body bytes it has produced
  std::vector<std::uint8_t> replayIn_;
  std::uint64_t position_ = 0;
  BodyError error_ = BodyError::kNone;
  std::function<bool(std::uint64_t)> roomFor_;
  std::uint64_t refused_ = 0;
};

}  // namespace applier
