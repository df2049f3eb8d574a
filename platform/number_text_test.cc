#include "platform/number_text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// The forms the appliers write: checksums in eight digits, names of
// system objects in sixteen, JSON escapes in four, dates padded.
TEST(NumberText, DigitsArePaddedAndCountedFromTheLowEnd) {
  EXPECT_EQ(hexDigits(0, 8), "00000000");
  EXPECT_EQ(hexDigits(0x340BC6D9, 8), "340bc6d9");
  EXPECT_EQ(hexDigits(0xFFFFFFFFFFFFFFFFull, 16), "ffffffffffffffff");
  EXPECT_EQ(hexDigits(0x1F, 4), "001f");
  EXPECT_EQ(hexDigits(0xABCDE, 4), "bcde");
  EXPECT_EQ(hexDigits(7, 0), "");
  EXPECT_EQ(paddedDecimal(7, 2), "07");
  EXPECT_EQ(paddedDecimal(0, 4), "0000");
  EXPECT_EQ(paddedDecimal(2107, 2), "2107");
  EXPECT_EQ(paddedDecimal(4294967295u, 4), "4294967295");
}

}  // namespace
}  // namespace platform
