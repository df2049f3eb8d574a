// Tests that draw random data: a fresh seed on every run, or VERDELIN_SEED
// to repeat one. Only properties that must hold for every input are tested
// this way; an assertion about how often something happens runs on fixed
// seeds instead, so that its verdict is the same on every run.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace testing_support {

inline unsigned testSeed() {
  const char* fixed = std::getenv("VERDELIN_SEED");
  return fixed != nullptr ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
}

// A fixture whose every failure message names the seed that repeats it.
class SeededTest : public ::testing::Test {
 protected:
  const unsigned seed = testSeed();
  std::mt19937 rng{seed};

 private:
  ::testing::ScopedTrace trace_{__FILE__, __LINE__, "random data; repeat with VERDELIN_SEED=" + std::to_string(seed)};
};

}  // namespace testing_support
