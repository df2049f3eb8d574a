// Mutated deltas and patch bodies: the decoder and the record reader must end
// with a result, never crash, hang or read outside a buffer (the suite also
// runs under AddressSanitizer). Bounded, seeded, reproducible by its seed.
#include <gtest/gtest.h>

#include <random>

#include "patchformat/body_walk.h"
#include "patchformat/container.h"
#include "tests/random_delta.h"
#include "tests/seeded_test.h"

namespace {

using testing_support::DeltaWriter;

void mutate(std::string* s, std::mt19937& rng) {
  auto pick = [&](std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); };
  switch (pick(0, 3)) {
    case 0:
      if (!s->empty()) (*s)[pick(0, s->size() - 1)] ^= static_cast<char>(1 << pick(0, 7));
      break;
    case 1:
      if (!s->empty()) (*s)[pick(0, s->size() - 1)] = static_cast<char>(pick(0, 255));
      break;
    case 2:
      s->resize(pick(0, s->size()));
      break;
    default:
      s->append(pick(1, 8), static_cast<char>(pick(0, 255)));
  }
}

class FormatMutationTest : public testing_support::SeededTest {};

TEST_F(FormatMutationTest, MutatedDeltasNeverOverrunTheirTarget) {
  for (int i = 0; i < 400; ++i) {
    testing_support::RandomDelta d;
    testing_support::makeRandomDelta(rng, &d);
    std::string s[5] = {DeltaWriter::contents(d.writer.numbers), DeltaWriter::contents(d.writer.bitsA),
                        DeltaWriter::contents(d.writer.bitsB), DeltaWriter::contents(d.writer.literals),
                        DeltaWriter::contents(d.writer.mismatches)};
    const int rounds = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int r = 0; r < rounds; ++r) mutate(&s[std::uniform_int_distribution<int>(0, 4)(rng)], rng);
    if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
      d.writer.params.literalBlockSize = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 3)(rng));
    }
    std::string out;
    d.writer.decodeStreams(s, d.source, &out);
    ASSERT_LE(out.size(), d.writer.params.targetSize) << "case " << i;
  }
}

TEST_F(FormatMutationTest, MutatedBodiesEndInAResult) {
  using namespace patchformat;
  std::string body;
  BodyWriter w(&body);
  const SeriesHeader registry{kLocateRegistry, kSeriesMoreFollow, 0x80000002u, "Software\\A", "Dir", "Backup"};
  ASSERT_TRUE(w.writeSeriesHeader(true, registry));
  FinalInfo info;
  info.sourceCount = 2;
  info.fileFlags = kFileHasWindows;
  ExclusionWindow window;
  window.start = 4;
  window.length = 2;
  ASSERT_TRUE(w.writePatchedFile(true, info, window, "a.exe"));
  for (int k = 0; k < 2; ++k) {
    SourceRecord rec;
    rec.streamLength[0] = 3;
    rec.streamLength[3] = 2;
    ASSERT_TRUE(w.writeSource(true, info, k ? "" : "old.exe", rec, ExclusionWindow()));
    body += "NNNLL";
  }
  ASSERT_TRUE(w.writeObsolete("gone.txt"));
  w.writeEnd();
  SeriesHeader byPath;
  ASSERT_TRUE(w.writeSeriesHeader(true, byPath));  // a second series, by path
  for (int i = 0; i < 3000; ++i) {
    std::string data = body;
    const int rounds = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int r = 0; r < rounds; ++r) mutate(&data, rng);
    MemoryReader in(data);
    BodyWalker walk = BodyWalker::fromSeries(in, true, 0, 0, data.size());
    int steps = 0;
    for (BodyStep step = walk.next(); step != BodyStep::kBodyEnd && step != BodyStep::kFailed; step = walk.next()) {
      ASSERT_LT(++steps, 10000);
    }
    ASSERT_LE(walk.position(), data.size());
  }
}

}  // namespace
