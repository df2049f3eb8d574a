#include "patchformat/io.h"

#include <gtest/gtest.h>

#include <random>
#include <string>


namespace patchformat {
namespace {

std::string randomBytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 7 == 0 ? rng() : rng() % 16);
  return s;
}

// Reads from the cache give the bytes of the file at any place, across
// block boundaries, with large reads beside it, and refuse what lies past
// the end.
TEST(CachedReaderTest, GivesTheSourcesBytesAtEveryPlace) {
  std::mt19937 rng(20261209);
  const std::string data = randomBytes(rng, 3 * 65536 * 11 + 123);
  MemoryRandomReader plain(data);
  CachedReader cached(plain);
  EXPECT_EQ(cached.size(), data.size());
  for (int i = 0; i < 3000; ++i) {
    const std::size_t n = rng() % 5 == 0 ? rng() % 200000 : rng() % 300;
    const std::size_t at = rng() % (data.size() - std::min(n, data.size()) + 1);
    std::string got(n, '\0');
    ASSERT_TRUE(cached.readAt(at, &got[0], n)) << at << " " << n;
    ASSERT_EQ(got, data.substr(at, n)) << at << " " << n;
  }
  char byte;
  EXPECT_FALSE(cached.readAt(data.size(), &byte, 1));
  EXPECT_TRUE(cached.readAt(data.size(), &byte, 0));
}

long readAll(ByteReader& in, std::string* out) {
  char piece[1000];
  for (;;) {
    const long got = in.read(piece, sizeof piece);
    if (got <= 0) return got;
    out->append(piece, static_cast<std::size_t>(got));
  }
}

TEST(RangeReaderTest, ReadsItsRangeInOrder) {
  const std::string data = "0123456789abcdef";
  MemoryRandomReader file(data);
  RangeReader range(file, 3, 9);
  std::string out;
  EXPECT_EQ(readAll(range, &out), 0);
  EXPECT_EQ(out, "3456789ab");
  RangeReader beyond(file, 10, 20);
  out.clear();
  EXPECT_EQ(readAll(beyond, &out), -1) << "a range past the end is an error, not a short body";
}

}  // namespace
}  // namespace patchformat
