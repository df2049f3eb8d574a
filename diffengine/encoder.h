// The delta encoder: turns a step's representation into the five delta
// streams. The second pass attaches mismatch bytes after copies (a length
// chosen per group of copies); the third writes the instructions and the
// inserted bytes, each chunk raw or as differences to the source, whichever
// looks more predictable.
#pragma once

#include <cstdint>
#include <string>

#include "diffengine/engine.h"
#include "diffengine/representation.h"
#include "diffengine/streams.h"
#include "platform/files.h"

namespace diffengine {

struct EncoderInput {
  std::uint64_t sourceSize = 0;  // S
  std::uint64_t endSize = 0;     // T
  bool selfReference = false;    // numbers range over S + T instead of max(S, T)
  const std::uint8_t* source = nullptr;  // null when the source is not in memory
  const std::uint8_t* end = nullptr;     // null when the end file is not in memory
  platform::File* endFile = nullptr;     // read for inserts when `end` is null
  std::string endName;
  std::uint64_t copies = 0;
  std::uint64_t copiedBytes = 0;
  std::uint16_t mismatchGroup = 190;
  std::uint8_t literalBlockSize = 20;
  std::uint32_t encoderMargin = 245;
};

class DeltaEncoder {
 public:
  // Encodes `records` (changed in place) into the streams.
  void encode(const EncoderInput& input, Representation& records, EngineHost& host);
  void clear();

  ByteStream numbers;
  BitStream bitsA;
  BitStream bitsB;
  ByteStream literals;
  ByteStream mismatchRaw;
  ByteStream mismatchDifferences;
  bool rawMismatch = true;  // which mismatch stream the delta carries

  const ByteStream& mismatch() const { return rawMismatch ? mismatchRaw : mismatchDifferences; }

  // Sink interface of encodeSignedNumber.
  void putNumberByte(std::uint8_t v) { numbers.putByte(v); }
  void putBitA(bool b) { bitsA.putBit(b); }
  void putBitB(bool b) { bitsB.putBit(b); }

 private:
  class Pass;
  ByteStream groupLengths_;
};

}  // namespace diffengine
