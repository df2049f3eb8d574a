// The delta of one file against one source state: five streams that hold
// an instruction sequence of copies (from the source, or from the output
// already produced), mismatch bytes after copies, and inserted runs.
#pragma once

#include <cstdint>

#include "patchformat/io.h"

namespace patchformat {

enum DeltaStreamIndex {
  kNumberStream = 0,    // number magnitudes, least significant byte first; mismatch lengths
  kBitStreamA = 1,      // third/fourth number byte follows; raw literal chunk
  kBitStreamB = 2,      // second number byte follows; signs
  kLiteralStream = 3,   // inserted bytes
  kMismatchStream = 4,  // bytes after copies
  kDeltaStreamCount = 5,
};

// Delta flags of a source record.
constexpr std::uint8_t kDeltaRangeIsSum = 0x01;     // PositionRange = S + T, else max(S, T)
constexpr std::uint8_t kDeltaRawMismatch = 0x02;    // mismatch bytes are output bytes, not differences

struct DeltaParams {
  std::uint32_t sourceSize = 0;  // S
  std::uint32_t targetSize = 0;  // T
  std::uint8_t flags = 0;
  std::uint16_t mismatchGroup = 0;    // g: copies sharing one mismatch length
  std::uint8_t literalBlockSize = 0;  // b: chunk size of inserts

  // The range the signed numbers of this delta can reach.
  std::uint64_t positionRange() const {
    if (flags & kDeltaRangeIsSum) return std::uint64_t{sourceSize} + targetSize;
    return sourceSize > targetSize ? sourceSize : targetSize;
  }
};

// Why a delta could not be decoded. The texts are the appliers' messages.
enum class DeltaError {
  kNone,
  kCorrupt,             // "Error, patch is corrupted!"
  kWriteFailed,         // "Error, writing patched file failed!"
  kSourceReadFailed,    // "Error, reading source file failed!"
  kPatchReadFailed,     // "Error, reading patch file failed!"
};
const char* deltaErrorText(DeltaError error);

// Writes one signed number. The sink has putNumberByte(uint8_t),
// putBitA(bool) and putBitB(bool); `range` is the PositionRange.
template <typename Sink>
void encodeSignedNumber(std::int64_t x, std::uint64_t range, Sink& sink) {
  const std::uint64_t m = x < 0 ? static_cast<std::uint64_t>(-x) : static_cast<std::uint64_t>(x);
  sink.putNumberByte(static_cast<std::uint8_t>(m));
  if (range > 0xFF) {
    const bool second = m > 0xFF;
    sink.putBitB(second);
    if (second) {
      sink.putNumberByte(static_cast<std::uint8_t>(m >> 8));
      if (range > 0xFFFF) {
        const bool third = m > 0xFFFF;
        sink.putBitA(third);
        if (third) {
          sink.putNumberByte(static_cast<std::uint8_t>(m >> 16));
          if (range > 0xFFFFFF) {
            const bool fourth = m > 0xFFFFFF;
            sink.putBitA(fourth);
            if (fourth) sink.putNumberByte(static_cast<std::uint8_t>(m >> 24));
          }
        }
      }
    }
  }
  sink.putBitB(x < 0);
}

// The five streams of one delta: a reader for each and its length.
struct DeltaStreams {
  ByteReader* reader[kDeltaStreamCount] = {};
  std::uint32_t length[kDeltaStreamCount] = {};
};

// Runs the instruction loop and appends the target to `output`. Never
// produces more than the target size; memory use does not depend on the
// sizes of the files. The caller checks the result's checksum.
DeltaError decodeDelta(const DeltaParams& params, DeltaStreams& streams, RandomReader& source,
                       DeltaOutput& output);

}  // namespace patchformat
