#include "diffengine/streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "patchformat/stream_writer.h"
#include "tests/zlib_support.h"

namespace diffengine {
namespace {

std::string written(ByteStream& s) {
  StringSink sink;
  EXPECT_TRUE(s.writeTo(sink));
  return sink.bytes;
}

TEST(DynArrayTest, InsertRemoveFind) {
  DynArray<std::uint32_t> a;
  a.append(1);
  a.append(3);
  a.insertAt(2, 1);
  a.insertAt(4, 3);  // index == count appends
  EXPECT_EQ(a.count(), 4u);
  EXPECT_EQ(a.at(0), 1u);
  EXPECT_EQ(a.at(1), 2u);
  EXPECT_EQ(a.at(3), 4u);
  EXPECT_EQ(a.at(4), 0u) << "past the end reads as 0";
  EXPECT_EQ(a.find(3), 2);
  EXPECT_EQ(a.find(9), -1);
  EXPECT_EQ(a.removeAt(0), 1u);
  EXPECT_EQ(a.at(0), 2u);
  EXPECT_EQ(a.count(), 3u);
  try {
    a.insertAt(7, 5);
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.text(), "DynArray: Illegaler Versuch nach dem Ende des Arrays einzufuegen!");
  }
  DynArray<std::uint32_t> empty;
  EXPECT_EQ(empty.removeAt(0), 0u);
  EXPECT_EQ(empty.at(0), 0u);
}

TEST(DynArrayTest, ShrinkingKeepsStorage) {
  DynArray<std::uint32_t> a(5);
  EXPECT_EQ(a.count(), 5u);
  EXPECT_EQ(a.capacity(), 1005u);
  a.resize(2);
  EXPECT_EQ(a.capacity(), 1005u);
  EXPECT_EQ(a.at(3), 0u);
  a.resize(1005);
  EXPECT_EQ(a.capacity(), 1005u);
  a.resize(1006);
  EXPECT_EQ(a.capacity(), 2006u);
}

TEST(ByteStreamTest, ChunksAndPositions) {
  Memory memory;
  ByteStream s{memory};
  EXPECT_EQ(written(s), "");
  for (std::size_t i = 0; i < StreamChunkSize; ++i) s.putByte(static_cast<std::uint8_t>(i));
  EXPECT_EQ(s.count(), 1u) << "exactly one full chunk";
  EXPECT_EQ(s.sizeInBytes(), StreamChunkSize);
  EXPECT_EQ(written(s).size(), StreamChunkSize);
  const std::string more = "0123456789";
  s.putBytes(reinterpret_cast<const std::uint8_t*>(more.data()), 10);
  EXPECT_EQ(s.byteAt(30000), '0') << "first byte of the second chunk";
  EXPECT_EQ(s.byteAt(29999), static_cast<std::uint8_t>(29999));
  EXPECT_EQ(s.sizeInBytes(), 30010u);

  // putBytes across two chunk ends at once.
  ByteStream big{memory};
  std::string data(70000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  big.putBytes(reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<long>(data.size()));
  EXPECT_EQ(big.count(), 2u);
  EXPECT_EQ(written(big), data);
  big.putBytes(nullptr, 0);
  big.putBytes(nullptr, -4);
  EXPECT_EQ(big.sizeInBytes(), 70000u);
  big.clear();
  EXPECT_EQ(big.sizeInBytes(), 0u);
  big.putByte(5);
  EXPECT_EQ(written(big), "\x05");
}

TEST(ByteStreamTest, SubtractAndAddAcrossChunks) {
  Memory memory;
  ByteStream s{memory};
  std::string data(30010, 'a');
  s.putBytes(reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<long>(data.size()));
  const std::uint8_t ref[6] = {1, 2, 3, 200, 0, 255};
  s.subtractAt(29997, ref, 6);
  EXPECT_EQ(s.byteAt(29997), 'a' - 1);
  EXPECT_EQ(s.byteAt(30000), static_cast<std::uint8_t>('a' - 200));
  EXPECT_EQ(s.byteAt(30002), static_cast<std::uint8_t>('a' + 1));
  s.addAt(29997, ref, 6);
  EXPECT_EQ(written(s), data);
}

TEST(ByteStreamTest, Entropy) {
  Memory memory;
  ByteStream same{memory};
  for (int i = 0; i < 100; ++i) same.putByte(7);
  EXPECT_EQ(same.entropyOf(0, 100), 0.0);
  EXPECT_EQ(same.entropyOf(5, 0), 0.0);
  ByteStream all{memory};
  for (int i = 0; i < 256; ++i) all.putByte(static_cast<std::uint8_t>(i));
  EXPECT_DOUBLE_EQ(all.entropyOf(0, 256), -8.0);
  ByteStream half{memory};
  for (int i = 0; i < 4; ++i) half.putByte(i % 2 ? 1 : 2);
  EXPECT_DOUBLE_EQ(half.entropyOf(0, 4), -1.0);
}

// Counts kept in step with the subtractions and additions, and with a
// window that moves forward, give the very bits of counting the window
// again, for windows of many lengths in turn (the terms are kept per
// length, by the caller) or computing them anew.
TEST(ByteStreamTest, CountsFollowTheSubtractionToTheSameBits) {
  std::mt19937 rng(7);
  Memory memory;
  ByteStream s{memory};
  for (int i = 0; i < 70000; ++i) s.putByte(static_cast<std::uint8_t>(rng() % 40));
  std::uint8_t ref[300];
  for (std::uint8_t& b : ref) b = static_cast<std::uint8_t>(rng() % 40);
  WindowCounts window;
  EntropyTerms terms;
  std::uint64_t start = 0;
  for (int round = 0; round < 2000; ++round) {
    // Windows move forward by a little (kept counts) or jump (counted anew).
    const std::uint64_t length = 1 + rng() % 600;
    start = rng() % 50 == 0 ? rng() % (70000 - length) : std::min<std::uint64_t>(start + rng() % 40, 70000 - length);
    const std::uint64_t n = std::min<std::uint64_t>(length, 1 + rng() % 300);
    std::uint64_t* counts = window.to(s, start, start + length);
    ASSERT_EQ(ByteStream::entropyOfCounts(counts, length, &terms), s.entropyOf(start, length)) << round;
    s.subtractAt(start + length - n, ref, n, counts);
    ASSERT_EQ(ByteStream::entropyOfCounts(counts, length, &terms), s.entropyOf(start, length)) << round;
    if (rng() % 2 == 0) s.addAt(start + length - n, ref, n, counts);
    ASSERT_EQ(ByteStream::entropyOfCounts(counts, length, &terms), s.entropyOf(start, length)) << round;
  }
}

TEST(BitStreamTest, BitOrderAndPartialBytes) {
  Memory memory;
  BitStream s{memory};
  s.putBit(true);
  s.putBit(false);
  s.putBit(true);
  EXPECT_EQ(s.sizeInBytes(), 1u);
  EXPECT_EQ(written(static_cast<ByteStream&>(s)), "") << "the base writer ignores the partial byte";
  StringSink first;
  ASSERT_TRUE(s.writeTo(first));
  EXPECT_EQ(first.bytes, "\x05");
  for (int i = 0; i < 5; ++i) s.putBit(true);  // completes the same byte
  StringSink second;
  ASSERT_TRUE(s.writeTo(second));
  EXPECT_EQ(second.bytes, "\xfd");
  EXPECT_EQ(s.sizeInBytes(), 1u);
  s.clear();
  EXPECT_EQ(s.sizeInBytes(), 0u);
  StringSink none;
  EXPECT_TRUE(s.writeTo(none));
  EXPECT_EQ(none.bytes, "");
}

TEST(BitStreamTest, FullChunksOfBits) {
  Memory memory;
  BitStream s{memory};
  for (std::size_t i = 0; i < StreamChunkSize * 8 + 3; ++i) s.putBit(i % 3 == 0);
  EXPECT_EQ(s.count(), 1u);
  EXPECT_EQ(s.sizeInBytes(), StreamChunkSize + 1);
  StringSink out;
  ASSERT_TRUE(s.writeTo(out));
  ASSERT_EQ(out.bytes.size(), StreamChunkSize + 1);
  EXPECT_EQ(static_cast<unsigned char>(out.bytes[0]), 0x49u);  // bits 0, 3, 6
}

// Deltas put together outside the engine must carry the engine's bytes.
TEST(BitStreamTest, SameBytesAsTheFormatsStreamWriter) {
  std::mt19937 rng(20260311);
  Memory memory;
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{13},
                        StreamChunkSize * 8 + 5}) {
    BitStream engine{memory};
    patchformat::StreamWriter format;
    for (std::size_t i = 0; i < n; ++i) {
      const bool b = (rng() & 1) != 0;
      engine.putBit(b);
      format.putBit(b);
    }
    StringSink out;
    ASSERT_TRUE(engine.writeTo(out));
    EXPECT_EQ(out.bytes, format.bytes()) << n << " bits";
    EXPECT_EQ(engine.sizeInBytes(), format.sizeInBytes()) << n << " bits";
  }
}

// The body deflated in pieces on several threads: one stream that inflates
// to what was written, the same bytes for any number of threads and any
// way of handing the bytes over, and below one piece the bytes of the
// plain sink. A failing output fails the sink.
TEST(PieceDeflateTest, PiecesMakeOneStreamWhateverTheThreads) {
  std::mt19937 rng(20261209);
  constexpr std::size_t kPiece = 1 << 18;
  std::string data;
  while (data.size() < 2 * kPiece + 70000) {
    // Runs of random bytes and repeats reaching back over piece boundaries.
    std::string run(100 + rng() % 3000, '\0');
    for (char& c : run) c = static_cast<char>(rng() % 16);
    data += run;
    if (data.size() > 40000) data += data.substr(data.size() - 40000, 500 + rng() % 20000);
  }
  const auto deflated = [](const std::string& in, int threads, std::size_t handed) {
    std::string out;
    PieceDeflateSink sink(6, threads, [&out](const void* p, std::size_t n) {
      out.append(static_cast<const char*>(p), n);
      return true;
    }, PieceDeflateSink::Coder::kZlib, kPiece);
    EXPECT_TRUE(sink.started());
    for (std::size_t at = 0; at < in.size(); at += handed) {
      EXPECT_TRUE(sink.write(in.data() + at, std::min(handed, in.size() - at)));
    }
    EXPECT_TRUE(sink.finish());
    return out;
  };
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kPiece - 1, kPiece, kPiece + 1, data.size()}) {
    const std::string in = data.substr(0, size);
    const std::string one = deflated(in, 1, 1 << 20);
    std::string back;
    ASSERT_TRUE(testing_support::inflateRaw(one, &back)) << size;
    EXPECT_TRUE(back == in) << size;
    EXPECT_EQ(deflated(in, 2, 2000), one) << size;
    EXPECT_EQ(deflated(in, 3, 77777), one) << size;
    if (size < kPiece) {
      std::string plain;
      DeflateSink sink(6, [&plain](const void* p, std::size_t n) {
        plain.append(static_cast<const char*>(p), n);
        return true;
      });
      ASSERT_TRUE(sink.write(in.data(), in.size()) && sink.finish());
      EXPECT_EQ(one, plain) << size;
    }
  }
  // The strongest coder: pieces of libdeflate's own that still make one
  // stream, smaller than zlib's, the same for any number of threads.
  const auto strongest = [&](const std::string& in, int threads) {
    std::string out;
    PieceDeflateSink sink(12, threads, [&out](const void* p, std::size_t n) {
      out.append(static_cast<const char*>(p), n);
      return true;
    }, PieceDeflateSink::Coder::kStrongest, kPiece);
    EXPECT_TRUE(sink.write(in.data(), in.size()));
    EXPECT_TRUE(sink.finish());
    return out;
  };
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kPiece, kPiece + 1, data.size()}) {
    const std::string in = data.substr(0, size);
    const std::string one = strongest(in, 1);
    std::string back;
    ASSERT_TRUE(testing_support::inflateRaw(one, &back)) << size;
    EXPECT_TRUE(back == in) << size;
    EXPECT_EQ(strongest(in, 3), one) << size;
  }
  // On text of a few hundred words libdeflate's strongest level beats zlib
  // even with every piece on its own.
  std::string text;
  while (text.size() < 3 * kPiece) text += "word" + std::to_string(rng() % 300) + (rng() % 7 == 0 ? ".\n" : " ");
  const std::string strong = strongest(text, 2);
  std::string back;
  ASSERT_TRUE(testing_support::inflateRaw(strong, &back));
  EXPECT_TRUE(back == text);
  EXPECT_LT(strong.size() * 100, deflated(text, 2, 1 << 20).size() * 97) << "at least 3 % smaller than zlib";
  PieceDeflateSink refused(6, 2, [](const void*, std::size_t) { return false; }, PieceDeflateSink::Coder::kZlib,
                           kPiece);
  refused.write(data.data(), data.size());
  EXPECT_FALSE(refused.finish());
}

TEST(AllocationTest, FailureNamesSizeAndPurpose) {
  Memory memory;
  memory.setBudget(30000);
  ByteStream s{memory};
  s.putByte(1);  // takes the whole budget
  try {
    for (int i = 0; i < 30000; ++i) s.putByte(2);
    FAIL() << "the second chunk was allocated";
  } catch (const AllocationFailure& e) {
    EXPECT_EQ(e.text(), "Error, can't allocate 30000 Bytes (to entend the bytestream)!\n");
  }
  EXPECT_EQ(s.sizeInBytes(), 30000u) << "the full chunk stays in the stream";
}

TEST(AllocationTest, InjectedFailuresHitOnlyTheirPurposeAndRunOut) {
  Memory memory;
  memory.failFor("to test", 2);
  memory.release(memory.allocate(10, "for something else"));
  EXPECT_THROW(memory.allocate(10, "to test"), AllocationFailure);
  EXPECT_THROW(memory.allocate(10, "to test"), AllocationFailure);
  void* block = memory.allocate(10, "to test");
  EXPECT_NE(block, nullptr) << "the third one is given";
  memory.release(block);
}

}  // namespace
}  // namespace diffengine
