#include "diffengine/lzma_sink.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "patchformat/body_coding.h"
#include "tests/seeded_test.h"

namespace diffengine {
namespace {

// A body like a compact patch's: runs of zeros with sparse changes, some
// repeated text, some noise.
std::string bodyLike(std::mt19937& rng, std::size_t n) {
  std::string s;
  while (s.size() < n) {
    switch (rng() % 3) {
      case 0: s.append(rng() % 500, '\0'); s.push_back(static_cast<char>(rng())); break;
      case 1: s += "function update(node) { return node.next; }\n"; break;
      default: for (int i = rng() % 40; i > 0; --i) s.push_back(static_cast<char>(rng())); break;
    }
  }
  s.resize(n);
  return s;
}

struct Encoded {
  std::string stream;
  patchformat::PatchHeader header;
};

Encoded encode(const std::string& body, std::size_t gatherLimit, std::mt19937& rng, int threads = 2) {
  Encoded e;
  LzmaSink sink([&e](const void* data, std::size_t n) {
    e.stream.append(static_cast<const char*>(data), n);
    return true;
  }, threads, gatherLimit);
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t n = std::min<std::size_t>(body.size() - at, rng() % 70000);
    EXPECT_TRUE(sink.write(body.data() + at, n));
    at += n;
  }
  e.header.flags = patchformat::kHeaderCompressed | patchformat::kHeaderNoConfirmation;
  EXPECT_TRUE(sink.finish(&e.header));
  // Only a body that was gathered whole can be had again.
  const std::vector<std::uint8_t>* whole = sink.gatheredBody();
  EXPECT_EQ(whole != nullptr, body.size() <= gatherLimit);
  if (whole != nullptr) {
    EXPECT_TRUE(std::string(whole->begin(), whole->end()) == body);
  }
  return e;
}

long readAll(patchformat::ByteReader& in, std::string* out, std::size_t piece) {
  std::string buffer(piece, '\0');
  for (;;) {
    const long got = in.read(&buffer[0], piece);
    if (got <= 0) return got;
    out->append(buffer, 0, static_cast<std::size_t>(got));
  }
}

// Whatever the size and however it is written, gathered or streamed to the
// encoder's thread, the stream expands to the very body, the header says
// LZMA with a dictionary no larger than the body, and the stream cut short
// or followed by a byte is an error. A changed byte may go unnoticed by the
// stream (it has no checksum; the records' checks catch what it changed),
// but never makes more than the body's size.
using LzmaSinkTest = testing_support::SeededTest;

TEST_F(LzmaSinkTest, StreamsExpandToTheBodyAndNothingElse) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5000}, std::size_t{300000}}) {
    for (std::size_t gatherLimit : {std::size_t{1} << 30, std::size_t{4096}}) {
      SCOPED_TRACE(testing::Message() << "size " << size << " gathered up to " << gatherLimit);
      const std::string body = bodyLike(rng, size);
      const Encoded e = encode(body, gatherLimit, rng);
      EXPECT_EQ(e.header.bodyCoding(), patchformat::BodyCoding::kLzma);
      EXPECT_EQ(e.header.version, patchformat::kFormatVersionLzma);
      EXPECT_EQ(e.header.flags, patchformat::kHeaderLzma | patchformat::kHeaderNoConfirmation);
      EXPECT_EQ(e.header.expandedSize, size);
      EXPECT_EQ(e.header.lzmaDictionarySize(), std::max<std::size_t>(size, 4096));
      // The match finder's thread changes nothing in the stream.
      EXPECT_TRUE(encode(body, gatherLimit, rng, 1).stream == e.stream);
      for (std::size_t piece : {std::size_t{1}, std::size_t{777}, std::size_t{1} << 20}) {
        patchformat::MemoryReader in(e.stream);
        patchformat::ExpandReader reader(in, patchformat::makeBodyExpander(e.header));
        std::string out;
        ASSERT_EQ(readAll(reader, &out, piece), 0);
        EXPECT_TRUE(out == body);
        EXPECT_TRUE(reader.ended());
      }
      for (const std::string& bad : {e.stream.substr(0, e.stream.size() / 2), e.stream + "x"}) {
        patchformat::MemoryReader in(bad);
        patchformat::ExpandReader reader(in, patchformat::makeBodyExpander(e.header));
        std::string out;
        EXPECT_EQ(readAll(reader, &out, 4096), -1) << bad.size() << " of " << e.stream.size();
      }
      for (int i = 0; i < 20 && !e.stream.empty(); ++i) {
        std::string flipped = e.stream;
        flipped[rng() % flipped.size()] ^= static_cast<char>(1 + rng() % 255);
        patchformat::MemoryReader in(flipped);
        patchformat::ExpandReader reader(in, patchformat::makeBodyExpander(e.header));
        std::string out;
        readAll(reader, &out, 4096);
        EXPECT_LE(out.size(), size);
      }
    }
  }
}

// Gathered or streamed, finish() tells the share encoded on its own thread:
// from 0 to 100, rising, each value once.
TEST_F(LzmaSinkTest, ProgressRisesFromNothingToAll) {
  const std::string body = bodyLike(rng, 3 << 20);
  for (std::size_t gatherLimit : {std::size_t{1} << 30, std::size_t{1} << 16}) {
    LzmaSink sink([](const void*, std::size_t) { return true; }, 2, gatherLimit);
    ASSERT_TRUE(sink.write(body.data(), body.size()));
    std::vector<int> shown;
    const std::thread::id caller = std::this_thread::get_id();
    patchformat::PatchHeader header;
    ASSERT_TRUE(sink.finish(&header, [&](int percent) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      shown.push_back(percent);
    }));
    ASSERT_GE(shown.size(), 2u) << gatherLimit;
    EXPECT_EQ(shown.front(), 0);
    EXPECT_EQ(shown.back(), 100);
    for (std::size_t i = 1; i < shown.size(); ++i) EXPECT_LT(shown[i - 1], shown[i]) << gatherLimit;
  }
}

}  // namespace
}  // namespace diffengine
