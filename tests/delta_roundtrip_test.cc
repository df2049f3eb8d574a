// Random instruction sequences written with the format's stream writer and
// the number writer, then decoded: the decoder must rebuild the target exactly.
#include <gtest/gtest.h>

#include <random>

#include "tests/random_delta.h"
#include "tests/seeded_test.h"

namespace {

class DeltaRoundTripTest : public testing_support::SeededTest {};

TEST_F(DeltaRoundTripTest, RandomInstructionSequences) {
  for (int i = 0; i < 300; ++i) {
    testing_support::RandomDelta d;
    testing_support::makeRandomDelta(rng, &d);
    std::string out;
    const patchformat::DeltaError e = d.writer.decode(d.source, &out);
    ASSERT_EQ(e, patchformat::DeltaError::kNone) << "case " << i;
    ASSERT_EQ(out, d.target) << "case " << i << ", source " << d.source.size()
                             << " bytes, g " << d.writer.params.mismatchGroup << ", b "
                             << int(d.writer.params.literalBlockSize);
  }
}

}  // namespace
