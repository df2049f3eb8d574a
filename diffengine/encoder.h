// The delta encoder: turns a step's representation into the five delta
// streams. The second pass attaches mismatch bytes after copies (a length
// chosen per group of copies); the third writes the instructions and the
// inserted bytes, each chunk raw or as differences to the source, whichever
// looks more predictable.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
  std::string endName;                   // read for inserts when `end` is null
  std::uint64_t copies = 0;
  std::uint64_t copiedBytes = 0;
  std::uint16_t mismatchGroup = 190;
  std::uint8_t literalBlockSize = 20;
  std::uint32_t encoderMargin = 245;
};

class DeltaEncoder {
 public:
  // `files` serves the literal pieces that are read only when written.
  DeltaEncoder(platform::FileSystem& files, Memory& memory)
      : numbers(memory), bitsA(memory), bitsB(memory), literals(memory), mismatchRaw(memory),
        mismatchDifferences(memory), files_(files), groupLengths_(memory) {}

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

  // The literal stream: held bytes, or (when the end file was not in
  // memory, so no chunk was ever turned into differences) pieces of the end
  // file that are read only when the stream is written.
  std::uint64_t literalsSize() const { return literals.sizeInBytes() + pieceBytes_; }
  bool writeLiterals(BlockSink& sink) const;

  // Sink interface of encodeSignedNumber.
  void putNumberByte(std::uint8_t v) { numbers.putByte(v); }
  void putBitA(bool b) { bitsA.putBit(b); }
  void putBitB(bool b) { bitsB.putBit(b); }

 private:
  class Pass;
  platform::FileSystem& files_;
  ByteStream groupLengths_;
  std::string pieceFile_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces_;  // offset, length
  std::uint64_t pieceBytes_ = 0;
};

}  // namespace diffengine
