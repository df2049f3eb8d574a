// The logical body of a patch, expanded into a temporary file only as far
// as it is read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patchformat/container.h"
#include "patchformat/io.h"
#include "platform/files.h"

namespace applier {

// Why reading the body stopped.
enum class BodyError {
  kNone,
  kCorrupt,        // damaged deflate or LZMA data, or a read past the body's end
  kPatchRead,      // the patch file could not be read
  kBuffering,      // the temporary file could not be written
  kNoRoom,         // the temporary volume has no room for what a read needs
  kNoMemory,       // the decoder's tables or dictionary could not be allocated
};

// Reads the logical body sequentially; stored bytes are expanded (or
// copied) into `temp` only when a read needs them, so data after the last
// record costs nothing. `rewind` goes back to the start for a second pass.
// The header's body coding chooses the expander: stored, deflate and LZMA
// bodies go through the same steps.
//
// A range that `stream` expands is not kept: its bytes go to the caller
// only, and the temporary file holds the kept ranges one after another.
// Read again, such a range comes from the patch itself (a stored body) or
// from a second expander that follows the walks through the body, so an
// embedded file costs no temporary space however large it is. An LZMA body
// is the exception: its decoder holds a dictionary of up to 64 MiB, and a
// second one would double the applier's memory, so what `stream` expands
// of it is kept like any other range and read again from the temporary
// file.
class ExpandedBody : public patchformat::ByteReader {
 public:
  // Takes bytes in pieces; false stops the stream.
  using Sink = std::function<bool(const std::uint8_t* data, std::size_t n)>;

  // The stored body is [start, end) of `patch`, coded as `header` says.
  ExpandedBody(platform::File& patch, std::uint64_t start, std::uint64_t end, const patchformat::PatchHeader& header,
               platform::File& temp);
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
  // One run through the stored bytes, reading them as it goes.
  class Expansion;
  // Expands until at least `wanted` bytes exist or the body ends.
  void expandTo(std::uint64_t wanted);
  // False (and the body stopped with kNoRoom) when expanding up to
  // `wanted` needs more room than the temporary volume has.
  bool roomFor(std::uint64_t wanted);
  // One piece of expansion, kept, handed to passSink_ (up to passEnd_), or both.
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
  const patchformat::PatchHeader header_;
  const std::uint64_t start_;
  const std::uint64_t end_;
  const bool storedBody_;      // the body is stored as it is
  const bool keepsStreamed_;   // what stream() expands is kept too (LZMA)
  std::unique_ptr<Expansion> main_;
  bool finished_ = false;
  std::vector<std::uint8_t> out_;
  std::vector<std::uint8_t> passOut_;  // pieces that are handed on
  std::uint64_t expanded_ = 0;
  std::vector<Passed> passed_;
  std::uint64_t passEnd_ = 0;      // while stream() expands: where handing on stops
  const Sink* passSink_ = nullptr;
  bool sinkStopped_ = false;  // the sink of the current stream() said stop
  // The second expander, for passed ranges of a deflated body.
  std::unique_ptr<Expansion> replay_;
  std::uint64_t position_ = 0;
  BodyError error_ = BodyError::kNone;
  std::function<bool(std::uint64_t)> roomFor_;
  std::uint64_t refused_ = 0;
};

}  // namespace applier
