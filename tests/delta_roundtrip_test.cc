// Random instruction sequences written with the format's stream writer and
// the number writer, then decoded: the decoder must rebuild the target exactly.
#include <gtest/gtest.h>

#include <random>

#include "tests/random_delta.h"

namespace {

TEST(DeltaRoundTripTest, RandomInstructionSequences) {
  const unsigned seed = testing_support::testSeed();
  std::mt19937 rng(seed);
  for (int i = 0; i < 300; ++i) {
    testing_support::RandomDelta d;
    testing_support::makeRandomDelta(rng, &d);
    std::string out;
    const patchformat::DeltaError e = d.writer.decode(d.source, &out);
    ASSERT_EQ(e, patchformat::DeltaError::kNone) << "seed " << seed << " case " << i;
    ASSERT_EQ(out, d.target) << "seed " << seed << " case " << i << ", source " << d.source.size()
                             << " bytes, g " << d.writer.params.mismatchGroup << ", b "
                             << int(d.writer.params.literalBlockSize);
  }
}

}  // namespace
