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
