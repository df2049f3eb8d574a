#include "patchformat/stream_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/delta_writer.h"

namespace patchformat {
namespace {

TEST(StreamWriterTest, BitsFillBytesFromTheLeastSignificantPlace) {
  StreamWriter s;
  EXPECT_EQ(s.bytes(), "");
  for (bool b : {true, false, true}) s.putBit(b);
  EXPECT_EQ(s.sizeInBytes(), 1u);
  EXPECT_EQ(s.bytes(), "\x05") << "a partial byte has its high bits zero";
  for (int i = 0; i < 5; ++i) s.putBit(true);  // completes the same byte
  EXPECT_EQ(s.bytes(), "\xfd");
  s.putBit(false);
  s.putBit(true);
  EXPECT_EQ(s.bytes(), std::string("\xfd\x02", 2));
  EXPECT_EQ(s.sizeInBytes(), 2u);
}

TEST(StreamWriterTest, BytesFollowAPartialByteOfBits) {
  StreamWriter s;
  s.putByte(0x41);
  s.putBit(true);
  s.putByte(0x42);
  s.putBit(true);
  s.putBytes("CD", 2);
  s.putBit(true);
  s.putBytes("", 0);  // nothing put: the next bit still shares the byte
  s.putBit(true);
  EXPECT_EQ(s.bytes(), "\x41\x01\x42\x01" "CD\x03");
  EXPECT_EQ(s.sizeInBytes(), 7u);
}

// Numbers of every width written through the sink, read back by the
// decoder: copies of 3 bytes whose displacements need one to four number
// bytes, forwards and back, with their continuation and sign bits.
TEST(StreamWriterTest, NumbersAndBitsAsTheDecoderReadsThem) {
  for (const std::uint32_t S : {200u, 70000u, 0x1000010u}) {
    std::string source(S, '\0');
    for (std::uint32_t i = 0; i < S; ++i) source[i] = static_cast<char>((i * 2654435761u) >> 24);
    std::vector<std::int64_t> positions = {0, 5, 190, 17, 196};
    if (S > 0xFFFF) positions.insert(positions.end(), {300, 65800, 256, 69990, 1});
    if (S > 0xFFFFFF) positions.insert(positions.end(), {0x1000000, 3, 0xFFFFF0, 0x100000C, 0x10100});
    testing_support::DeltaWriter w;  // a DeltaStreamWriter with the decoder at hand
    w.params.sourceSize = S;
    w.params.targetSize = static_cast<std::uint32_t>(3 * positions.size());
    w.params.literalBlockSize = 20;
    w.params.mismatchGroup = 0;  // one mismatch length, given with the first copy
    std::string expected;
    std::int64_t next = 0;  // where a displacement of 0 copies from
    for (const std::int64_t p : positions) {
      w.copy(3, p - next, expected.empty() ? 0 : -1);
      next = p + 3;
      expected += source.substr(static_cast<std::size_t>(p), 3);
    }
    std::string out;
    ASSERT_EQ(w.decode(source, &out), DeltaError::kNone) << "source size " << S;
    EXPECT_EQ(out, expected) << "source size " << S;
    EXPECT_EQ(w.bitsA.bytes().empty(), S <= 0xFFFF) << "third-byte bits only where the range needs them";
  }
}

}  // namespace
}  // namespace patchformat
