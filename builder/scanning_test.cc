#include "builder/scanning.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "builder/messages.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "tests/machine_support.h"

namespace builder {
namespace {

class ScanningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = ::testing::TempDir() + "scan_state";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    context.target = &target;
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  void put(const std::string& relative, const std::string& bytes) {
    const std::string path = root + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(files.writeWholeFile(path, bytes));
  }
  std::unique_ptr<FileEntry> entry(const std::string& name, const std::string& bytes) {
    put(name, bytes);
    return scanFile(root + "\\" + name, name, context);
  }
  static std::string randomText(unsigned seed, std::size_t n) {
    std::mt19937 rng(seed);
    std::string s(n, ' ');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
  }

  std::string root;
  TargetOptions target;
  platform::SystemFileSystem files;
  testing_support::CapturingConsole console;
  Output out{console};
  ScanContext context{files, out};
  std::string& g_notices = console.out;
};

TEST_F(ScanningTest, PatternsMatchWithoutCaseAndTryEveryTail) {
  EXPECT_TRUE(matchesPattern("sys\\a.dll", "*.dll"));
  EXPECT_FALSE(matchesPattern("sys\\a.dll", "\\*.dll"));
  EXPECT_TRUE(matchesPattern("a.DLL", "\\*.dll"));
  EXPECT_FALSE(matchesPattern("sys\\a.dll", "s*.dll")) << "* never crosses a separator";
  EXPECT_TRUE(matchesPattern("sys/a.dll", "SYS\\?.dll") == false);
  EXPECT_TRUE(matchesPattern("sys\\a.dll", "SYS\\?.dll"));
  EXPECT_FALSE(matchesPattern("ab", "a?b"));
  EXPECT_TRUE(matchesPattern("readme", "*"));
  EXPECT_TRUE(matchesPattern("", "*"));
  EXPECT_TRUE(matchesPattern("a\\b", "?")) << "the tail after the separator";
  EXPECT_FALSE(matchesPattern("a\\b", "\\?"));
  EXPECT_TRUE(matchesPattern("sub\\x.c", "\\sub\\*.c"));

  std::vector<PatternEntry> list{{"*.tmp", false, true}, {"*.t*", false, false}};
  EXPECT_FALSE(inList("x.tmp", list)) << "a matching excluding entry vetoes";
  EXPECT_TRUE(inList("x.txt", list));
  EXPECT_FALSE(inList("x.doc", list));
}

// Names and patterns are UTF-8 as written: "?" is one character however many
// bytes it takes, and a character no code page holds matches only itself.
TEST_F(ScanningTest, PatternsMatchCharactersNotBytes) {
  EXPECT_TRUE(matchesPattern("日本.txt", "日本.txt"));
  EXPECT_FALSE(matchesPattern("中国.txt", "日本.txt")) << "both are ??.txt in code page 1252";
  EXPECT_FALSE(matchesPattern("ab.txt", "日本.txt"));
  EXPECT_TRUE(matchesPattern("sub\\日本.txt", "??.txt"));
  EXPECT_FALSE(matchesPattern("日本.txt", "?.txt"));
  EXPECT_FALSE(matchesPattern("日本.txt", "???.txt")) << "six bytes, two characters";
  EXPECT_TRUE(matchesPattern("a\U0001F600.txt", "a?.txt")) << "one character past U+FFFF";
  EXPECT_FALSE(matchesPattern("日", "*??")) << "* moves by whole characters";
  EXPECT_TRUE(matchesPattern("日本.txt", "*本.txt"));
  EXPECT_TRUE(matchesPattern("bad\xff\xfe.txt", "bad??.txt")) << "a byte that is no UTF-8 is one character";
  EXPECT_TRUE(matchesPattern("RÉSUMÉ.md", "r?sum?.MD"));

  // The walk hands patterns the names as the host spells them.
  for (const char* name : {"日本.txt", "ab.txt", "sub/é.txt"}) {
    const std::filesystem::path path = std::filesystem::u8path(root + "/" + name);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << name;
  }
  IgnoreEntry own;
  own.pattern = "日本.txt";
  own.inSources = own.inFinal = true;
  target.ignorePatterns = {own};
  DirectoryStream stream;
  stream.rootPath = root;
  walkState(stream, context);
  ASSERT_EQ(stream.entries.size(), 2u);
  EXPECT_EQ(stream.entries[0]->relativePath, "ab.txt");
  EXPECT_EQ(stream.entries[1]->relativePath, "sub\\\xe9.txt");
  EXPECT_EQ(stream.entries[1]->writtenPath, "sub\\é.txt");
}

TEST_F(ScanningTest, IgnoreEntriesApplyPerStateAndReportTheFirstPattern) {
  IgnoreEntry keep;
  keep.pattern = "keep.bak";
  keep.exclude = true;
  keep.inSources = keep.inFinal = true;
  IgnoreEntry bak;
  bak.pattern = "*.bak";
  bak.inSources = bak.inFinal = true;
  IgnoreEntry second;
  second.pattern = "*.log";
  second.inStartState[1] = true;  // start state 2 only
  target.ignorePatterns = {keep, bak, second};
  EXPECT_TRUE(isIgnored("D\\sub\\b.bak", "sub\\b.bak", false, 0, context));
  EXPECT_EQ(g_notices, "File \"D\\sub\\b.bak\" ignored due to pattern \"*.bak\".\r\n");
  EXPECT_FALSE(isIgnored("keep.bak", "keep.bak", true, 0, context));
  EXPECT_FALSE(isIgnored("a.log", "a.log", false, 0, context));
  EXPECT_TRUE(isIgnored("a.log", "a.log", false, 1, context));
  EXPECT_FALSE(isIgnored("a.log", "a.log", true, 1, context));
  context.quiet = true;
  g_notices.clear();
  EXPECT_TRUE(isIgnored("c.bak", "c.bak", true, 0, context));
  EXPECT_EQ(g_notices, "");
}

TEST_F(ScanningTest, EntriesCountBytesAndSimilarityFollowsTheFingerprint) {
  std::uint32_t latest = 0;
  context.latestDate = &latest;
  const auto a = entry("a.txt", randomText(1, 5000));
  EXPECT_EQ(a->size, 5000u);
  EXPECT_NE(latest, 0u);
  std::uint32_t total = 0;
  for (std::uint32_t c : a->byteCounts) total += c;
  EXPECT_EQ(total, 5000u);
  const auto same = entry("b.txt", randomText(1, 5000));
  EXPECT_TRUE(identical(*a, *same));
  EXPECT_EQ(similarity(*a, *same), 1.0);
  const auto other = entry("c.txt", randomText(2, 5000));
  EXPECT_GT(similarity(*a, *other), 0.9);
  EXPECT_LT(similarity(*a, *other), 1.0);
  // Each byte value present in one file only costs 0.01.
  const auto withDigits = entry("d.txt", randomText(2, 4990) + "0123456789");
  EXPECT_NEAR(similarity(*a, *other) - similarity(*a, *withDigits), 0.10, 0.002);
  const auto small = entry("e.txt", randomText(1, 199));
  EXPECT_EQ(similarity(*a, *small), 0.0) << "sources under 200 bytes count only when identical";
  const auto binary = entry("f.bin", std::string(3000, '\0'));
  EXPECT_EQ(similarity(*a, *binary), 0.0);
  const auto empty = entry("g.txt", "");
  EXPECT_EQ(empty->size, 0u);
  EXPECT_EQ(empty->byteShares[0], 0.0);
}

TEST_F(ScanningTest, WalkSkipsHiddenIgnoredAndLinkedDirectories) {
  put("a.txt", "a");
  put("sub/b.txt", "bb");
  put("sub/deeper/c.bak", "ccc");
#ifndef _WIN32
  put(".hidden", "h");
  std::filesystem::create_directory_symlink(root + "/sub", root + "/sub/loop");
#endif
  IgnoreEntry bak;
  bak.pattern = "*.bak";
  bak.inSources = true;
  target.ignorePatterns = {bak};
  DirectoryStream stream;
  stream.rootPath = root;
  walkState(stream, context);
  std::vector<std::string> names;
  for (const auto& e : stream.entries) names.push_back(e->relativePath);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\b.txt"}));
  EXPECT_EQ(stream.totalBytes, 3u);
  EXPECT_NE(g_notices.find("ignored due to pattern \"*.bak\""), std::string::npos);
#ifndef _WIN32
  EXPECT_NE(g_notices.find("to a directory skipped"), std::string::npos);
  context.includeHidden = true;
  DirectoryStream all;
  all.rootPath = root;
  walkState(all, context);
  EXPECT_EQ(all.entries.size(), 3u) << "-a shows the hidden file";
#endif
  // A root that is gone (or cannot be read) since the job checked it is an
  // error, never an empty state: with -d every file would become obsolete.
  DirectoryStream missing;
  missing.rootPath = root + "\\missing";
  try {
    walkState(missing, context);
    ADD_FAILURE() << "a missing root must end the run";
  } catch (const FatalError& e) {
    EXPECT_NE(e.text().find("in directory being scanned"), std::string::npos) << e.text();
  }
}

TEST_F(ScanningTest, AFileTheDiskWillNotGiveEndsTheRunWithMessage26) {
  put("a.txt", "abc");
  platform::FaultInjectingFileSystem faulty(files);
  ScanContext c(faulty, out);
  c.target = &target;
  const std::string message = "Error, can't access file \"" + root + "\\a.txt\" in directory being scanned!";
  faulty.failAt(platform::FileOp::kRead, 1);
  try {
    scanFile(root + "\\a.txt", "a.txt", c);
    ADD_FAILURE() << "a failed read was taken for the end of the file";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), message);
  }
  // The walk asks for the root, lists it, then asks for each entry.
  faulty.failAt(platform::FileOp::kStatus, 2);
  DirectoryStream stream;
  stream.rootPath = root;
  try {
    walkState(stream, c);
    ADD_FAILURE() << "an entry without a status was passed over";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), message);
  }
}

// A patch keeps sizes in 32 bits: 4 GiB - 1 is the largest file it takes.
// The check before any work reads sizes alone (the files here are sparse),
// for a file in a directory state and for a state that is one file, start
// or end.
TEST_F(ScanningTest, FilesOf4GiBOrMoreAreRefusedBeforeAnyWork) {
  const std::uintmax_t largest = 0xFFFFFFFFu;
  for (const std::uintmax_t size : {largest, largest + 1, largest + 10}) {
    for (const char* where : {"old/sub/big.bin", "new/big.bin", "one.bin", "two.bin"}) {
      std::filesystem::remove_all(root);
      put("old/sub/small.txt", "small");
      put("new/small.txt", "small");
      put("one.bin", "a start state");
      put("two.bin", "an end state");
      const std::string big = root + "/" + where;
      std::filesystem::create_directories(std::filesystem::path(big).parent_path());
      ASSERT_TRUE(files.writeWholeFile(big, ""));
      std::filesystem::resize_file(big, size);
      const bool directory = std::string(where).find('/') != std::string::npos;
      target.stateNames = directory ? std::vector<std::string>{root + "/old", root + "/new"}
                                    : std::vector<std::string>{root + "/one.bin", root + "/two.bin"};
      std::string refusal;
      try {
        refuseUnfitFiles(target, context);
      } catch (const FatalError& e) {
        refusal = e.text();
      }
      if (size == largest) {
        EXPECT_EQ(refusal, "") << where;
      } else {
        EXPECT_NE(refusal.find("has " + std::to_string(size) + " Bytes: a patch file holds files of at most "
                               "4294967295 Bytes (4 GiB - 1)."),
                  std::string::npos)
            << where << ": " << refusal;
        EXPECT_NE(refusal.find(std::filesystem::path(where).filename().string()), std::string::npos) << refusal;
      }
      // Scanning itself refuses such a file too, before it reads a byte.
      if (size != largest) {
        EXPECT_THROW(scanFile(big, where, context), FatalError) << where;
      }
    }
  }
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
}

TEST_F(ScanningTest, ChainsRunThroughEveryStartStateAndReduceIdenticalPairs) {
  DirectoryStream s1, s2, s3;
  s1.index = 0;
  s2.index = 1;
  s3.index = 2;
  const std::string v1 = randomText(1, 4000);
  std::string v2 = v1;
  v2[10] = '#';
  std::string v3 = v2;
  v3[20] = '$';
  s1.entries.push_back(entry("x1", v1));
  s2.entries.push_back(entry("x2", v2));
  s3.entries.push_back(entry("x3", v2));  // same as state 2
  const auto end = entry("x", v3);
  ChainSearch search({&s1, &s2, &s3});
  ASSERT_TRUE(search.search(*end, false));
  const auto chain = search.bestChain();
  ASSERT_EQ(chain.size(), 4u);
  EXPECT_EQ(chain[0], end.get());
  // Every start state contributes, most similar first.
  EXPECT_EQ(chain[3]->relativePath, "x1");
  const auto reduced = reduceChain(chain, false, false, nullptr);
  EXPECT_EQ(reduced.size(), 3u) << "one of the two identical states is dropped";
  EXPECT_EQ(reduced.back()->relativePath, "x1");
  // With exactOnly nothing of another name is taken.
  EXPECT_FALSE(search.search(*end, true));
}

TEST_F(ScanningTest, ReductionKeepsTheEndFileOnlyWhenForced) {
  const auto a = entry("a", randomText(3, 500));
  const auto b = entry("b", randomText(3, 500));
  const std::vector<const FileEntry*> chain{a.get(), b.get()};
  EXPECT_EQ(reduceChain(chain, false, false, nullptr).size(), 1u);
  EXPECT_EQ(reduceChain(chain, false, true, nullptr).size(), 2u);
  EXPECT_EQ(reduceChain(chain, true, false, nullptr).size(), 2u) << "different names are never dropped";
  std::vector<PatternEntry> force{{"a", false, false}};
  EXPECT_EQ(reduceChain(chain, false, false, &force).size(), 2u);
}

}  // namespace
}  // namespace builder
