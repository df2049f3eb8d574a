#include "patchformat/delta.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/delta_writer.h"

namespace patchformat {
namespace {

using testing_support::DeltaWriter;

DeltaParams params(std::uint32_t s, std::uint32_t t, std::uint8_t b = 20, std::uint16_t g = 190,
                   std::uint8_t flags = 0) {
  DeltaParams p;
  p.sourceSize = s;
  p.targetSize = t;
  p.literalBlockSize = b;
  p.mismatchGroup = g;
  p.flags = flags;
  return p;
}

std::string bits(const StreamWriter& s) { return DeltaWriter::contents(s); }
std::string bytes(const StreamWriter& s) { return DeltaWriter::contents(s); }

TEST(NumberEncodingTest, MinusThreeHundredWithRange70000) {
  DeltaWriter w;
  w.params = params(70000, 0);
  w.number(-300);
  EXPECT_EQ(bytes(w.numbers), std::string("\x2c\x01", 2));
  EXPECT_EQ(bits(w.bitsB), std::string("\x03", 1)) << "second byte follows, then negative";
  EXPECT_EQ(bits(w.bitsA), std::string("\x00", 1)) << "no third byte";
}

TEST(NumberEncodingTest, ContinuationBitsDependOnTheRange) {
  DeltaWriter small;
  small.params = params(255, 100);
  small.number(200);
  small.number(-7);
  EXPECT_EQ(bytes(small.numbers), std::string("\xc8\x07", 2));
  EXPECT_EQ(bits(small.bitsB), std::string("\x02", 1)) << "only sign bits: +, -";
  EXPECT_EQ(bits(small.bitsA), "");

  DeltaWriter two;
  two.params = params(256, 0);
  two.number(65535);
  EXPECT_EQ(bytes(two.numbers), std::string("\xff\xff", 2));
  EXPECT_EQ(bits(two.bitsB), std::string("\x01", 1));
  EXPECT_EQ(bits(two.bitsA), "") << "V = 256 never reaches the third byte";

  DeltaWriter four;
  four.params = params(0x1000000, 0x1000000, 20, 190, kDeltaRangeIsSum);
  four.number(0x12345678);
  EXPECT_EQ(bytes(four.numbers), "\x78\x56\x34\x12");
  EXPECT_EQ(bits(four.bitsA), std::string("\x03", 1));
  EXPECT_EQ(four.params.positionRange(), 0x2000000u);
}

class DecodeTest : public ::testing::Test {
 protected:
  std::string source = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
};

TEST_F(DecodeTest, EmptyDeltaGivesEmptyOutput) {
  DeltaWriter w;
  w.params = params(62, 0);
  EXPECT_EQ(w.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "");
}

TEST_F(DecodeTest, CopiesRelativeToThePreviousCopyEnd) {
  DeltaWriter w;
  w.params = params(62, 9);
  w.copy(3, 10, 0);  // KLM, then P+C = 13
  w.copy(3, -13);    // back to 0: ABC
  w.copy(3, 20);     // 3 + 20 = 23: XYZ
  ASSERT_EQ(w.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "KLMABCXYZ");
}

TEST_F(DecodeTest, MismatchBytesInAddAndRawMode) {
  DeltaWriter add;
  add.params = params(62, 6);
  add.copy(4, 0, 2, std::string("\x01\xff", 2));  // ABCD, then E+1, F-1
  ASSERT_EQ(add.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABCDFE");

  DeltaWriter raw;
  raw.params = params(62, 6, 20, 190, kDeltaRawMismatch);
  raw.copy(4, 0, 2, "!?");
  ASSERT_EQ(raw.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABCD!?");

  // Raw mismatch bytes still need their reference bytes to exist.
  DeltaWriter beyond;
  beyond.params = params(62, 62, 20, 190, kDeltaRawMismatch);
  beyond.copy(60, 0, 3, "abc");
  EXPECT_EQ(beyond.decode(source, &out), DeltaError::kSourceReadFailed);
}

TEST_F(DecodeTest, GroupSizeDecidesWhenAMismatchLengthIsRead) {
  // g = 1: every copy reads its own length.
  DeltaWriter one;
  one.params = params(62, 6, 20, 1);
  one.copy(2, 0, 1, std::string("\0", 1));
  one.copy(2, 10, 0);
  ASSERT_EQ(one.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABCMN") << "displacements count from the end of the copy, before its mismatch bytes";
  // g = 0: the first copy's length applies to all copies.
  DeltaWriter zero;
  zero.params = params(62, 6, 20, 0);
  zero.copy(2, 0, 1, std::string("\0", 1));
  zero.copy(2, 10, -1, std::string("\0", 1));
  ASSERT_EQ(zero.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABCMNO");
  // g = 2: the third copy starts a new group.
  DeltaWriter two;
  two.params = params(62, 7, 20, 2);
  two.copy(1, 0, 1, std::string("\0", 1));
  two.copy(1, 0, -1, std::string("\0", 1));
  two.copy(1, 0, 0);
  ASSERT_EQ(two.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABBCC");
}

TEST_F(DecodeTest, InsertChunking) {
  // b = 10: up to 2b - 1 = 19 bytes are one chunk; 20 bytes are two of 10;
  // the last chunk holds between b and 2b - 1 bytes. One raw bit per chunk.
  const std::pair<std::size_t, std::size_t> cases[] = {{9, 1}, {10, 1}, {19, 1}, {20, 2},
                                                       {29, 2}, {30, 3}, {45, 4}};
  for (const auto& [n, chunks] : cases) {
    DeltaWriter w;
    w.params = params(62, static_cast<std::uint32_t>(n), 10);
    const std::string text(n, 'q');
    w.insert(text);
    ASSERT_EQ(w.decode(source, &out), DeltaError::kNone) << n;
    EXPECT_EQ(out, text);
    EXPECT_EQ(w.bitsA.sizeInBytes(), 1u);
    const unsigned raw = static_cast<unsigned char>(bits(w.bitsA)[0]);
    EXPECT_EQ(raw, (1u << chunks) - 1) << n << " bytes";
  }
}

TEST_F(DecodeTest, DifferenceChunksAddTheBytesAfterTheLastCopy) {
  DeltaWriter w;
  w.params = params(62, 7, 20);
  w.copy(2, 0, 1, std::string("\0", 1));  // ABC; reference of the insert starts at D
  w.insert(std::string("\x01\x01\x01\x01", 4), false);
  ASSERT_EQ(w.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "ABCEFGH");

  // Before any copy the reference is the start of the source ...
  DeltaWriter first;
  first.params = params(62, 2, 20);
  first.insert(std::string("\x00\x01", 2), false);
  ASSERT_EQ(first.decode(source, &out), DeltaError::kNone);
  EXPECT_EQ(out, "AC");
  // ... or, without a source, the output so far, which is empty.
  DeltaWriter none;
  none.params = params(0, 2, 20);
  none.insert("xy", false);
  EXPECT_EQ(none.decode("", &out), DeltaError::kCorrupt);
}

TEST_F(DecodeTest, CopiesFromTheOutputRepeatInBlocks) {
  DeltaWriter w;
  w.params = params(62, 2600, 20);
  w.insert("0123456789");
  w.copy(10, 62, 0);  // address S + 0: output bytes 0..9
  w.copy(1000, -10);  // output 0 again, but 1000 bytes are not yet there for its first block
  const DeltaError e = w.decode(source, &out);
  EXPECT_EQ(e, DeltaError::kWriteFailed) << "a block must have been written before it is read";

  DeltaWriter ok;
  ok.params = params(62, 2020 + 1000, 20);
  std::string block(1010, 'z');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  ok.insert(block);
  ok.copy(2010, 62, 0);  // from output 0; overlaps its own output after 1010 bytes
  ASSERT_EQ(ok.decode(source, &out), DeltaError::kNone);
  std::string expected = block;
  while (expected.size() < 3020) expected += expected[expected.size() - 1010];
  EXPECT_EQ(out, expected);
}

TEST_F(DecodeTest, CorruptDeltasEndWithTheirMessage) {
  std::string streams[5];
  DeltaWriter w;
  w.params = params(62, 100, 20);
  w.copy(5, 0, 0);
  // Number stream cut in the middle of the copy.
  streams[0] = bytes(w.numbers).substr(0, 1);
  streams[2] = bits(w.bitsB);
  EXPECT_EQ(w.decodeStreams(streams, source, &out), DeltaError::kCorrupt);
  // Bit stream missing.
  streams[0] = bytes(w.numbers);
  streams[2] = "";
  EXPECT_EQ(w.decodeStreams(streams, source, &out), DeltaError::kCorrupt);

  DeltaWriter lit;
  lit.params = params(62, 100, 20);
  lit.insert("hello");
  std::string s[5] = {bytes(lit.numbers), bits(lit.bitsA), bits(lit.bitsB), "hel", ""};
  EXPECT_EQ(lit.decodeStreams(s, source, &out), DeltaError::kPatchReadFailed);

  DeltaWriter mis;
  mis.params = params(62, 100, 20);
  mis.copy(2, 0, 3, "ab");
  EXPECT_EQ(mis.decode(source, &out), DeltaError::kPatchReadFailed);

  DeltaWriter past;
  past.params = params(62, 100, 20);
  past.copy(10, 60, 0);
  EXPECT_EQ(past.decode(source, &out), DeltaError::kWriteFailed) << "copy across the source end";

  DeltaWriter negative;
  negative.params = params(62, 100, 20);
  negative.copy(3, -1, 0);
  EXPECT_EQ(negative.decode(source, &out), DeltaError::kWriteFailed);

  DeltaWriter future;
  future.params = params(62, 100, 20);
  future.copy(3, 62, 0);
  EXPECT_EQ(future.decode(source, &out), DeltaError::kWriteFailed) << "copy from output not yet written";

  DeltaWriter outRef;
  outRef.params = params(62, 100, 20);
  outRef.insert("abcd");
  outRef.copy(2, 62, 2, "xy");  // output 0..1, then references output 2..3: written
  outRef.copy(2, 0, -1, "xy");  // output 2..3, then references output 4..5: written
  ASSERT_EQ(outRef.decode(source, &out), DeltaError::kNone);
  DeltaWriter outRefBad;
  outRefBad.params = params(62, 100, 20);
  outRefBad.insert("ab");
  outRefBad.copy(1, 63, 2, "xy");  // output 1, then references output 2..3: 3 is not yet written
  EXPECT_EQ(outRefBad.decode(source, &out), DeltaError::kCorrupt);
}

TEST_F(DecodeTest, NeverMoreThanTheTargetSize) {
  DeltaWriter w;
  w.params = params(62, 5, 20);
  w.copy(6, 0, 0);
  EXPECT_EQ(w.decode(source, &out), DeltaError::kCorrupt);
  EXPECT_LE(out.size(), 5u);
  DeltaWriter ins;
  ins.params = params(62, 3, 20);
  ins.insert("abcd");
  EXPECT_EQ(ins.decode(source, &out), DeltaError::kCorrupt);
  EXPECT_EQ(out, "");
}

TEST_F(DecodeTest, BlockSizeZeroIsCorrupt) {
  DeltaWriter w;
  w.params = params(62, 5, 1);
  w.insert("abc");
  w.params.literalBlockSize = 0;
  EXPECT_EQ(w.decode(source, &out), DeltaError::kCorrupt);
}

TEST(DeltaErrorTest, MessagesOfTheAppliers) {
  EXPECT_STREQ(deltaErrorText(DeltaError::kCorrupt), "Error, patch is corrupted!");
  EXPECT_STREQ(deltaErrorText(DeltaError::kWriteFailed), "Error, writing patched file failed!");
  EXPECT_STREQ(deltaErrorText(DeltaError::kSourceReadFailed), "Error, reading source file failed!");
  EXPECT_STREQ(deltaErrorText(DeltaError::kPatchReadFailed), "Error, reading patch file failed!");
}

}  // namespace
}  // namespace patchformat
