#include "applier/patch_body.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "applier/temporaries.h"
#include "tests/zlib_support.h"

namespace applier {
namespace {

class PatchBodyTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = ::testing::TempDir(); }
  void TearDown() override {
    patch.reset();
    temp.reset();
    for (const std::string& p : made) files.deleteFile(p);
  }
  // A patch-like file: 5 bytes before the stored body, 8 after it.
  void writePatch(const std::string& stored) {
    const std::string path = dir + "body_test.patch";
    made.push_back(path);
    ASSERT_TRUE(files.writeWholeFile(path, "HEAD!" + stored + "TRAILER!"));
    ASSERT_TRUE(patch = files.open(path, platform::File::Mode::kRead));
    std::string tempPath;
    ASSERT_TRUE(names.create(&temp, &tempPath));
    made.push_back(tempPath);
    storedSize = stored.size();
  }
  std::string readAll(ExpandedBody& body, std::mt19937& rng) {
    std::string out;
    char buffer[5000];
    for (;;) {
      const long n = body.read(buffer, 1 + rng() % sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  platform::SystemFileSystem files;
  std::string dir;
  std::vector<std::string> made;
  TempNames names{files, ::testing::TempDir()};
  std::unique_ptr<platform::File> patch, temp;
  std::size_t storedSize = 0;
};

TEST_F(PatchBodyTest, StoredAndDeflatedBodiesReadTheSame) {
  std::mt19937 rng(5);
  std::string body;
  while (body.size() < 100000) body += "record " + std::to_string(rng() % 1000) + ";";
  for (bool compressed : {false, true}) {
    writePatch(compressed ? testing_support::deflateRaw(body) : body);
    ExpandedBody reader(*patch, 5, 5 + storedSize, compressed, *temp);
    EXPECT_EQ(readAll(reader, rng), body);
    EXPECT_EQ(reader.error(), BodyError::kNone);
    reader.rewind();
    EXPECT_EQ(readAll(reader, rng), body) << "a second pass reads the expanded file";
    patch.reset();
    temp.reset();
  }
}

TEST_F(PatchBodyTest, OnlyWhatIsReadIsExpanded) {
  const std::string body = std::string(100, 'r') + std::string(50 << 20, '\0');  // 50 MiB after the records
  writePatch(testing_support::deflateRaw(body));
  ExpandedBody reader(*patch, 5, 5 + storedSize, true, *temp);
  char buffer[100];
  ASSERT_EQ(reader.read(buffer, sizeof buffer), 100);
  EXPECT_LT(reader.expanded(), 10000u);
}

// Ranges handed on by stream() are not kept: the temporary file holds the
// other bytes one after another, and a later read of a passed range, in
// any order and across kept and passed bytes, gives the body's bytes again
// (from the patch, or from a second inflater that restarts when it must
// go back).
TEST_F(PatchBodyTest, StreamedRangesAreNotKeptYetReadBackTheSame) {
  std::mt19937 rng(11);
  std::string body;
  while (body.size() < 600000) body += "piece " + std::to_string(rng() % 5000) + ";";
  struct Range {
    std::uint64_t at, n;
  };
  const Range passed[] = {{1000, 150000}, {151000, 10}, {200000, 300000}, {599000, 1000}};
  for (bool compressed : {false, true}) {
    writePatch(compressed ? testing_support::deflateRaw(body) : body);
    ExpandedBody reader(*patch, 5, 5 + storedSize, compressed, *temp);
    for (const Range& r : passed) {
      ASSERT_TRUE(reader.ensure(r.at)) << compressed;
      std::string seen;
      const bool wanted = r.n == 10;  // one range is handed on, the others only skipped
      const ExpandedBody::Sink keep = [&seen](const std::uint8_t* d, std::size_t n) {
        seen.append(reinterpret_cast<const char*>(d), n);
        return true;
      };
      ASSERT_TRUE(reader.stream(r.at, r.n, wanted ? keep : ExpandedBody::Sink()));
      if (wanted) {
        EXPECT_EQ(seen, body.substr(r.at, r.n));
      }
    }
    ASSERT_TRUE(reader.ensure(body.size()));
    std::uint64_t tempSize = 0;
    ASSERT_TRUE(temp->size(&tempSize));
    EXPECT_LT(tempSize, body.size() - 440000) << "passed ranges are not stored";
    char kept = 0;
    ASSERT_TRUE(temp->readAt(reader.physical(180000), &kept, 1));
    EXPECT_EQ(kept, body[180000]) << "where a kept byte lies";
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t at = rng() % body.size();
      const std::size_t n = std::min<std::size_t>(body.size() - at, 1 + rng() % 70000);
      std::string got(n, '\0');
      reader.seek(at);
      ASSERT_EQ(reader.read(&got[0], n), static_cast<long>(n)) << compressed << " at " << at;
      ASSERT_EQ(got, body.substr(at, n)) << compressed << " at " << at;
    }
    EXPECT_FALSE(reader.stream(body.size() - 5, 10, [](const std::uint8_t*, std::size_t) { return true; }))
        << "nothing past the end";
    EXPECT_EQ(reader.error(), BodyError::kNone);
    patch.reset();
    temp.reset();
  }
}

TEST_F(PatchBodyTest, DamagedOrCutDeflateDataEndsAsCorrupt) {
  std::mt19937 rng(9);
  std::string body;
  while (body.size() < 50000) body += std::to_string(rng());
  const std::string good = testing_support::deflateRaw(body);
  for (int round = 0; round < 40; ++round) {
    std::string bad = good;
    if (round % 2 == 0) {
      bad.resize(rng() % good.size());
    } else {
      for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
    }
    writePatch(bad);
    ExpandedBody reader(*patch, 5, 5 + storedSize, true, *temp);
    const std::string out = readAll(reader, rng);  // returns: no loop without end
    // A cut stream never reaches its end; flipped bits may still decode
    // (deflate has no checksum: the records' checks catch those).
    if (round % 2 == 0) {
      EXPECT_EQ(reader.error(), BodyError::kCorrupt) << round;
    }
    patch.reset();
    temp.reset();
  }
}

}  // namespace
}  // namespace applier
