// Writes delta instructions into the five streams with the format's stream
// writer, for tests that decode them again.
#pragma once

#include <string>

#include "patchformat/delta.h"
#include "patchformat/stream_writer.h"

namespace testing_support {

struct DeltaWriter : patchformat::DeltaInstructionWriter {
  // A copy whose `mismatch` bytes go to their stream.
  void copy(std::int64_t length, std::int64_t d, int groupLength = -1, const std::string& mismatch = "") {
    DeltaInstructionWriter::copy(length, d, groupLength);
    putMismatch(mismatch);
  }
  void putMismatch(const std::string& bytes) { mismatches.putBytes(bytes.data(), bytes.size()); }
  // An insert whose chunks are all raw (or all differences) with the given bytes.
  void insert(const std::string& bytes, bool raw = true) {
    insertChunks(bytes.size(), raw);
    literals.putBytes(bytes.data(), bytes.size());
  }

  // The five streams one after another, their lengths put into `lengths`.
  std::string allStreams(std::uint32_t lengths[5]) {
    const std::string s[5] = {contents(numbers), contents(bitsA), contents(bitsB), contents(literals),
                              contents(mismatches)};
    std::string all;
    for (int i = 0; i < 5; ++i) {
      lengths[i] = static_cast<std::uint32_t>(s[i].size());
      all += s[i];
    }
    return all;
  }

  static std::string contents(const patchformat::StreamWriter& s) { return s.bytes(); }

  // Decodes the streams against `source`; the output lands in `out`.
  patchformat::DeltaError decode(const std::string& source, std::string* out) {
    const std::string s[5] = {contents(numbers), contents(bitsA), contents(bitsB), contents(literals),
                              contents(mismatches)};
    return decodeStreams(s, source, out);
  }
  patchformat::DeltaError decodeStreams(const std::string (&s)[5], const std::string& source, std::string* out) {
    patchformat::MemoryReader r0(s[0]), r1(s[1]), r2(s[2]), r3(s[3]), r4(s[4]);
    patchformat::DeltaStreams streams;
    patchformat::ByteReader* readers[5] = {&r0, &r1, &r2, &r3, &r4};
    for (int i = 0; i < 5; ++i) {
      streams.reader[i] = readers[i];
      streams.length[i] = static_cast<std::uint32_t>(s[i].size());
    }
    patchformat::MemoryRandomReader src(source);
    patchformat::MemoryOutput output;
    const patchformat::DeltaError e = patchformat::decodeDelta(params, streams, src, output);
    *out = output.bytes();
    return e;
  }
};

}  // namespace testing_support
