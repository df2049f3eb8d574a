// The writing side of the delta streams, for deltas put together outside the
// difference engine (the builder's stored files, tests, tools). Gives the
// same bytes as the engine's own streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "patchformat/delta.h"

namespace patchformat {

// A stream of bytes or of bits. Bits go eight to a byte, the first bit in
// the least significant place. A byte put while bits are pending starts
// after their partial byte, which is closed with its high bits zero.
class StreamWriter {
 public:
  void putByte(std::uint8_t b);
  void putBytes(const void* data, std::size_t n);
  void putBit(bool b);

  // The stream so far, a partial byte with its high bits zero; further bits
  // still complete that byte.
  std::string bytes() const;
  std::size_t sizeInBytes() const { return bytes_.size() + (pendingBits_ != 0 ? 1 : 0); }

 private:
  void closePartialByte();

  std::string bytes_;          // whole bytes
  std::uint8_t partial_ = 0;   // pending bits, the first in bit 0
  unsigned pendingBits_ = 0;   // 0 to 7
};

// The five streams of one delta (in the order of DeltaStreamIndex), and the
// sink that encodeSignedNumber writes to.
struct DeltaStreamWriter {
  StreamWriter numbers, bitsA, bitsB, literals, mismatches;

  void putNumberByte(std::uint8_t v) { numbers.putByte(v); }
  void putBitA(bool b) { bitsA.putBit(b); }
  void putBitB(bool b) { bitsB.putBit(b); }
};

// Instructions of one delta with `params`, into its streams.
struct DeltaInstructionWriter : DeltaStreamWriter {
  DeltaParams params;

  void number(std::int64_t x) { encodeSignedNumber(x, params.positionRange(), *this); }
  // A copy of `length` bytes at displacement `d`; `groupLength` >= 0 writes
  // the mismatch length that starts a group (its bytes are the caller's).
  void copy(std::int64_t length, std::int64_t d, int groupLength = -1) {
    number(length);
    number(d);
    if (groupLength >= 0) putNumberByte(static_cast<std::uint8_t>(groupLength));
  }
  // An insert of `n` bytes: its number and, per chunk of the literal block
  // size, the bit that makes it raw (or a difference); the bytes themselves
  // go to `literals` by the caller.
  void insertChunks(std::uint64_t n, bool raw = true) {
    number(-static_cast<std::int64_t>(n));
    const std::uint64_t b = params.literalBlockSize;
    for (std::uint64_t k = 0;; k += b) {
      putBitA(raw);
      if (n - k < 2 * b) break;
    }
  }
};

}  // namespace patchformat
