// Reference patches: fixed inputs with fixed dates, built with a spread of
// options, must give exactly the bytes they gave when the numbers below were
// taken. A change to the builder that changes a patch shows here first (the
// same bytes on every platform are checked by tests/patch_identity.sh).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "patchformat/crc.h"
#include "platform/files.h"
#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;

// 2024-01-15 12:00:00 plus `minutes`: DOS date-times far from any change of
// summer time, so that they survive the way through local time unchanged.
std::uint32_t fixedTime(unsigned minutes) {
  const std::uint32_t date = (44u << 9) | (1u << 5) | 15u;
  const std::uint32_t time = ((12u + minutes / 60) << 11) | ((minutes % 60) << 5);
  return date << 16 | time;
}

class ReferencePatches : public testing_support::TreeFixture {
 protected:
  ReferencePatches() : TreeFixture("reference_patches") {}

  // Every file below root gets a date of its own, in name order.
  void stampAll() {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (e.is_regular_file()) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    for (std::size_t i = 0; i < files.size(); ++i) {
      ASSERT_TRUE(this->files.setLastWriteTime(files[i], fixedTime(static_cast<unsigned>(i)))) << files[i];
    }
  }
  void copyExamples() {
    const std::string examples = std::string(VERDELIN_SOURCE_DIR) + "/examples";
    fs::copy(examples + "/rocket-1.0", at("r10"), fs::copy_options::recursive);
    fs::copy(examples + "/rocket-1.1", at("r11"), fs::copy_options::recursive);
  }
  // Three versions of a larger text and a program-like binary.
  void makeVersions() {
    const std::string base = text(100, 600000);
    std::string v2 = base;
    v2.replace(200000, 5000, text(101, 5000));
    v2.insert(400000, text(102, 3000));
    std::string v3 = v2;
    v3.erase(100000, 20000);
    v3 += text(103, 10000);
    put("big1.txt", base);
    put("big2.txt", v2);
    put("big3.txt", v3);
  }
  // The patch's size and checksum, as one text for the messages.
  std::string fingerprint(const std::string& name) {
    const std::string bytes = read(name);
    char text[40];
    std::snprintf(text, sizeof text, "%zu %08x", bytes.size(),
                  static_cast<unsigned>(patchformat::crc32_noinv(bytes.data(), bytes.size())));
    return text;
  }
  void expectPatch(const std::vector<std::string>& words, const std::string& name, const std::string& expected) {
    ASSERT_EQ(run(words), 0) << err();
    EXPECT_EQ(fingerprint(name), expected) << name;
  }
};

TEST_F(ReferencePatches, ExampleTreeAndFile) {
  copyExamples();
  stampAll();
  expectPatch({"-d=*", "r10", "r11", "dir"}, "dir.utp", "743 6fba02d8");
  expectPatch({"-j", "r10", "r11", "stored"}, "stored.utp", "1328 5c7c6d4a");
  expectPatch({"r10/rocket.exe", "r11/rocket.exe", "file"}, "file.utp", "522 d1976a29");
  expectPatch({"-c=Rocket 1.1\\nfor everyone", "-b=Old", "-u=*.ini", "-D=data\\gone.dat", "-t=latest", "r10", "r11",
               "-n=win", "r10/data", "r11/data", "-n=sys", "r10", "r11", "multi"},
              "multi.utp", "809 703d1294");
  expectPatch({"-k=Software\\Acme\\Rocket\\Dir", "-r", "-0", "-C=40", "-P=50", "-B=100", "r10/rocket.exe",
               "r11/rocket.exe", "tuned"},
              "tuned.utp", "550 18674387");
}

TEST_F(ReferencePatches, ChainsAndMemoryStrategies) {
  makeVersions();
  stampAll();
  expectPatch({"big1.txt", "big2.txt", "big3.txt", "chain"}, "chain.utp", "5396 ff479d6e");
  expectPatch({"-m=2", "big1.txt", "big3.txt", "streaming"}, "streaming.utp", "5356 5f8dd03e");
  expectPatch({"-m=1", "big1.txt", "big3.txt", "sampled"}, "sampled.utp", "5775 60a29c5f");
  expectPatch({"-r", "-9", "big2.txt", "big3.txt", "self"}, "self.utp", "3097 10fc7e6f");
}

// Copies of one file in a tree give the deltas of the first copy, also
// under the frugal strategy's hint.
TEST_F(ReferencePatches, CopiesInATree) {
  const std::string old = text(10, 50000);
  std::string changed = old;
  changed.replace(10000, 300, text(11, 500));
  for (const char* dir : {"a", "b", "c"}) {
    put(std::string("v1/") + dir + "/lib.dll", old);
    put(std::string("v2/") + dir + "/lib.dll", changed);
  }
  put("v1/a/notes.txt", text(12, 3000));
  put("v2/a/notes.txt", text(12, 2900) + text(13, 200));
  stampAll();
  expectPatch({"-d=*", "v1", "v2", "copies"}, "copies.utp", "596 89fa0bae");
  expectPatch({"-y=2", "v1", "v2", "sampledcopies"}, "sampledcopies.utp", "574 3848d1df");
}

}  // namespace
