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
class ExpandedBody : public patchformat::ByteReader {
 public:
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
  // Expands until at least `wanted` bytes exist or the body ends.
  void expandTo(std::uint64_t wanted);
  bool stepOnce();

  platform::File& patch_;
  platform::File& temp_;
  std::uint64_t stored_;       // next stored byte to read
  const std::uint64_t end_;
  const bool compressed_;
  z_stream z_{};
  bool zOpen_ = false;
  bool finished_ = false;
  std::vector<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  std::uint64_t expanded_ = 0;
  std::uint64_t position_ = 0;
  BodyError error_ = BodyError::kNone;
  std::function<bool(std::uint64_t)> roomFor_;
  std::uint64_t refused_ = 0;
};

}  // namespace applier
