// The stored body's coding: nothing, raw deflate, or one LZMA stream. Each
// expander turns stored bytes into the logical body piece by piece, so the
// appliers and the builder's check read every body the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "patchformat/container.h"
#include "patchformat/io.h"

namespace patchformat {

class BodyExpander {
 public:
  enum class Status {
    kMore,      // call again with more input or more room
    kEnd,       // the stream ended where it should
    kCorrupt,   // damaged data, or input that ends before the stream
    kNoMemory,  // the decoder's tables or dictionary could not be allocated
  };
  virtual ~BodyExpander() = default;
  // Takes up to `inSize` stored bytes from `in` (`inputEnds`: they are the
  // last of the stored body) and writes up to `outSize` body bytes to
  // `out`; *used and *made tell how many. Stored bytes left over after
  // kEnd are not the stream's.
  virtual Status expand(const std::uint8_t* in, std::size_t inSize, bool inputEnds, std::size_t* used,
                        std::uint8_t* out, std::size_t outSize, std::size_t* made) = 0;
  // Back to the first byte of the body.
  virtual Status restart() = 0;
};

// The expander of the header's body coding; nullptr for a stored body. An
// invalid coding gives an expander that finds the body corrupt.
std::unique_ptr<BodyExpander> makeBodyExpander(const PatchHeader& header);

// The body of another ByteReader (the stored bytes) expanded in order. A
// read past the body's end gives what is left; damaged data and stored
// bytes after the end of the stream are errors (-1), and ended() tells
// whether the stream came to its proper end.
class ExpandReader : public ByteReader {
 public:
  ExpandReader(ByteReader& in, std::unique_ptr<BodyExpander> expander);
  long read(void* buffer, std::size_t n) override;
  bool ended() const { return ended_; }

 private:
  ByteReader& in_;
  std::unique_ptr<BodyExpander> expander_;
  bool ended_ = false;
  bool inputEnded_ = false;
  std::vector<std::uint8_t> input_;
  std::size_t inputAt_ = 0;
  std::size_t inputEnd_ = 0;
};

}  // namespace patchformat
