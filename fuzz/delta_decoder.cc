// The delta decoder on parameters, five streams and a source state cut from
// the input:
//   byte 0        delta flags
//   bytes 1-2     mismatch group g (little-endian)
//   byte 3        literal block size b
//   bytes 4-6     target size T, at most 1 MiB (the output is kept in memory)
//   bytes 7-16    the five stream lengths, 16 bits each, cut to what follows
//   then          the streams in order, and the rest is the source (S = its size).
// Whatever the bytes, the decoder ends with a result and never writes more
// than T bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "patchformat/delta.h"

namespace {

constexpr std::size_t kParameterBytes = 17;
constexpr std::uint32_t kMaxTarget = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kParameterBytes) return 0;
  patchformat::DeltaParams params;
  params.flags = data[0];
  params.mismatchGroup = static_cast<std::uint16_t>(data[1] | data[2] << 8);
  params.literalBlockSize = data[3];
  params.targetSize = std::min<std::uint32_t>(data[4] | data[5] << 8 | data[6] << 16, kMaxTarget);

  std::size_t at = kParameterBytes;
  std::string streamBytes[patchformat::kDeltaStreamCount];
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    const std::size_t wanted = data[7 + 2 * i] | data[8 + 2 * i] << 8;
    const std::size_t n = std::min(wanted, size - at);
    streamBytes[i].assign(reinterpret_cast<const char*>(data + at), n);
    at += n;
  }
  const std::string source(reinterpret_cast<const char*>(data + at), size - at);
  params.sourceSize = static_cast<std::uint32_t>(source.size());

  patchformat::MemoryReader r0(streamBytes[0]), r1(streamBytes[1]), r2(streamBytes[2]), r3(streamBytes[3]),
      r4(streamBytes[4]);
  patchformat::ByteReader* readers[patchformat::kDeltaStreamCount] = {&r0, &r1, &r2, &r3, &r4};
  patchformat::DeltaStreams streams;
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    streams.reader[i] = readers[i];
    streams.length[i] = static_cast<std::uint32_t>(streamBytes[i].size());
  }
  patchformat::MemoryRandomReader from(source);
  patchformat::MemoryOutput to;
  patchformat::decodeDelta(params, streams, from, to);
  if (to.bytes().size() > params.targetSize) {
    std::fprintf(stderr, "decoded %zu bytes of a %u-byte target\n", to.bytes().size(), params.targetSize);
    std::abort();
  }
  return 0;
}
