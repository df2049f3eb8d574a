// Writes delta instructions into the five streams with the builder's own
// containers, for tests that decode them again.
#pragma once

#include <string>

#include "diffengine/streams.h"
#include "patchformat/delta.h"

namespace testing_support {

struct DeltaWriter {
  patchformat::DeltaParams params;
  diffengine::Memory memory;
  diffengine::ByteStream numbers{memory}, literals{memory}, mismatches{memory};
  diffengine::BitStream bitsA{memory}, bitsB{memory};

  void putNumberByte(std::uint8_t v) { numbers.putByte(v); }
  void putBitA(bool b) { bitsA.putBit(b); }
  void putBitB(bool b) { bitsB.putBit(b); }
  void number(std::int64_t x) { patchformat::encodeSignedNumber(x, params.positionRange(), *this); }

  // A copy of `length` bytes at displacement `d`; `groupLength` >= 0 writes
  // the mismatch length that starts a group; `mismatch` goes to its stream.
  void copy(std::int64_t length, std::int64_t d, int groupLength = -1, const std::string& mismatch = "") {
    number(length);
    number(d);
    if (groupLength >= 0) numbers.putByte(static_cast<std::uint8_t>(groupLength));
    putMismatch(mismatch);
  }
  void putMismatch(const std::string& bytes) {
    literalsOrMismatch(mismatches, bytes);
  }
  // An insert whose chunks are all raw (or all differences) with the given bytes.
  void insert(const std::string& bytes, bool raw = true) {
    number(-static_cast<std::int64_t>(bytes.size()));
    const std::size_t b = params.literalBlockSize;
    const std::size_t n = bytes.size();
    for (std::size_t k = 0;; k += b) {
      const std::size_t r = n - k;
      const std::size_t len = r < 2 * b ? r : b;
      literalsOrMismatch(literals, bytes.substr(k, len));
      bitsA.putBit(raw);
      if (r < 2 * b) break;
    }
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

  static std::string contents(diffengine::ByteStream& s) {
    diffengine::StringSink sink;
    s.writeTo(sink);
    return sink.bytes;
  }
  static std::string contents(diffengine::BitStream& s) {
    diffengine::StringSink sink;
    s.writeTo(sink);
    return sink.bytes;
  }

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

 private:
  static void literalsOrMismatch(diffengine::ByteStream& s, const std::string& bytes) {
    s.putBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<long>(bytes.size()));
  }
};

}  // namespace testing_support
