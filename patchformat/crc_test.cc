#include "patchformat/crc.h"

#include <gtest/gtest.h>

#include <string>

namespace patchformat {
namespace {

TEST(CrcTest, KnownAnswers) {
  EXPECT_EQ(crc32_noinv("123456789", 9), 0x340BC6D9u);  // complement of the usual 0xCBF43926
  EXPECT_EQ(crc32_noinv("", 0), 0xFFFFFFFFu);
  // Continuing a register gives the same value as one run.
  const std::uint32_t head = crc32_noinv("1234", 4);
  EXPECT_EQ(crc32_noinv(head, "56789", 5), 0x340BC6D9u);
}

TEST(CrcTest, ExclusionWindowSkipsItsBytes) {
  const std::string file = "HEAD" + std::string("XXXXXX") + "TAIL";
  const std::uint32_t expected = crc32_noinv("HEADTAIL", 8);
  // Any way of cutting the file into pieces gives the same value.
  for (std::size_t piece = 1; piece <= file.size(); ++piece) {
    WindowedCrc crc(ExclusionWindow{4, 6});
    for (std::size_t i = 0; i < file.size(); i += piece) crc.update(file.data() + i, std::min(piece, file.size() - i));
    EXPECT_EQ(crc.value(), expected) << "piece size " << piece;
  }
  WindowedCrc whole(ExclusionWindow{4, 0});
  whole.update(file.data(), file.size());
  EXPECT_EQ(whole.value(), crc32_noinv(file.data(), file.size())) << "length 0 covers the whole file";
  WindowedCrc pastEnd(ExclusionWindow{10, 100});
  pastEnd.update(file.data(), file.size());
  EXPECT_EQ(pastEnd.value(), crc32_noinv(file.data(), 10));
}

}  // namespace
}  // namespace patchformat
