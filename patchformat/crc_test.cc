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

// The register one byte at a time, by the definition (reflected 0xEDB88320).
std::uint32_t bitwise(std::uint32_t crc, const std::string& bytes) {
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

TEST(CrcTest, LongRunsAtEveryAlignmentAgreeWithTheDefinition) {
  std::string data(5000, '\0');
  std::uint32_t seed = 12345;
  for (char& c : data) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  for (std::size_t length : {63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 191u, 1000u, 4093u}) {
    for (std::size_t offset = 0; offset < 16; offset += 3) {
      const std::string part = data.substr(offset, length);
      for (std::uint32_t start : {0xFFFFFFFFu, 0u, 0x12345678u}) {
        EXPECT_EQ(crc32_noinv(start, part.data(), part.size()), bitwise(start, part))
            << "length " << length << " offset " << offset;
      }
    }
  }
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
