// The plans of directory and file patches, made from states held in
// memory: no file is read, so every decision is the planner's own.
#include "builder/plan.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "patchformat/container.h"
#include "patchformat/crc.h"

namespace builder {
namespace {

// Lines of numbers: text whose small changes keep its byte-value shares.
std::string lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += std::to_string(i) + "\n";
  return s;
}

class PlanTest : public ::testing::Test {
 protected:
  // A file as scanning would have found it, made from its bytes.
  static std::unique_ptr<FileEntry> entry(const std::string& state, const std::string& name, const std::string& bytes) {
    auto e = std::make_unique<FileEntry>();
    e->fullPath = state + "\\" + name;
    e->relativePath = name;
    e->writtenPath = name;
    e->size = static_cast<std::uint32_t>(bytes.size());
    e->checksum = patchformat::crc32_noinv(bytes.data(), bytes.size());
    for (const char c : bytes) ++e->byteCounts[static_cast<unsigned char>(c)];
    for (int v = 0; v < 256; ++v) {
      e->byteShares[v] =
          bytes.empty() ? 0.0 : static_cast<double>(e->byteCounts[v]) / static_cast<double>(bytes.size());
    }
    return e;
  }
  // State k (the last one is the end state) gets a file.
  void put(std::size_t k, const std::string& name, const std::string& bytes) {
    while (states.size() <= k) {
      states.push_back(std::make_unique<DirectoryStream>());
      states.back()->rootPath = "s" + std::to_string(states.size());
      states.back()->index = static_cast<std::uint32_t>(states.size() - 1);
    }
    states[k]->entries.push_back(entry(states[k]->rootPath, name, bytes));
  }
  DirectoryPlan plan(bool forceAll = false) {
    std::vector<DirectoryStream*> starts;
    for (std::size_t k = 0; k + 1 < states.size(); ++k) starts.push_back(states[k].get());
    states.back()->isEnd = true;
    return planDirectory(starts, *states.back(), target, forceAll);
  }
  static PatternEntry pattern(const std::string& text, bool exclude = false) {
    PatternEntry p;
    p.pattern = text;
    p.exclude = exclude;
    return p;
  }
  // The chain of a planned file as "state:name" words, oldest first.
  static std::vector<std::string> chain(const PlannedFile& f) {
    std::vector<std::string> words;
    for (const FileEntry* e : f.chain) words.push_back(e->fullPath);
    return words;
  }

  std::vector<std::unique_ptr<DirectoryStream>> states;
  TargetOptions target;
};

using Kind = PlannedFile::Kind;

TEST_F(PlanTest, EachEndFileIsPatchedEmbeddedOrSkippedInTheEndStatesOrder) {
  const std::string text = lines(1, 800);
  put(0, "changed.txt", text);
  put(0, "same.txt", lines(2000, 2400));
  put(0, "other.bin", std::string(3000, '\0'));
  put(1, "same.txt", lines(2000, 2400));
  put(1, "added.txt", "no source for this one, and too short to be sure of one");
  put(1, "changed.txt", text + "one more line\n");
  const DirectoryPlan p = plan();
  ASSERT_EQ(p.files.size(), 3u);
  EXPECT_EQ(p.files[0].file->relativePath, "same.txt");
  EXPECT_EQ(p.files[0].kind, Kind::kSkip);
  EXPECT_TRUE(p.files[0].chain.empty());
  EXPECT_EQ(p.files[1].file->relativePath, "added.txt");
  EXPECT_EQ(p.files[1].kind, Kind::kEmbed);
  EXPECT_EQ(p.files[2].kind, Kind::kPatch);
  EXPECT_EQ(chain(p.files[2]), (std::vector<std::string>{"s1\\changed.txt", "s2\\changed.txt"}));
  EXPECT_EQ(p.files[2].flags, 0);
  EXPECT_TRUE(p.removals.empty()) << "other.bin stays without -d";
}

TEST_F(PlanTest, AnEndFileWithoutAnyAlikeSourceIsEmbedded) {
  put(0, "a.bin", std::string(3000, '\0'));
  put(1, "a.txt", lines(1, 800));
  const DirectoryPlan p = plan();
  ASSERT_EQ(p.files.size(), 1u);
  EXPECT_EQ(p.files[0].kind, Kind::kEmbed);
}

// The two numbers of the small-file rule, each on both sides of its line.
TEST_F(PlanTest, SmallFilesAreEmbeddedUnlessTheirChainAllButMatches) {
  EXPECT_TRUE(embedsFile(5000, 0.0)) << "no chain at all";
  EXPECT_FALSE(embedsFile(5000, 0.5));
  EXPECT_TRUE(embedsFile(kSmallFileBytes, kSmallFileMatchScore));
  EXPECT_FALSE(embedsFile(kSmallFileBytes, 0.9995));
  EXPECT_FALSE(embedsFile(kSmallFileBytes + 1, 0.5));
  // A source of 400 bytes, half "a", half "b"; end files of 100 and 101
  // bytes with shares 0.6 / 0.4 score about 0.98, and one of 100 bytes with
  // the source's own shares scores 1 without being identical.
  put(0, "edge.txt", std::string(200, 'a') + std::string(200, 'b'));
  put(0, "over.txt", std::string(200, 'a') + std::string(200, 'b'));
  put(0, "shares.txt", std::string(200, 'a') + std::string(200, 'b'));
  put(1, "edge.txt", std::string(60, 'a') + std::string(40, 'b'));
  put(1, "over.txt", std::string(61, 'a') + std::string(40, 'b'));
  put(1, "shares.txt", std::string(50, 'a') + std::string(50, 'b'));
  const DirectoryPlan p = plan();
  ASSERT_EQ(p.files.size(), 3u);
  EXPECT_EQ(p.files[0].kind, Kind::kEmbed) << "100 bytes, scored below the line";
  EXPECT_EQ(p.files[1].kind, Kind::kPatch) << "101 bytes: the rule is for smaller files";
  EXPECT_EQ(p.files[2].kind, Kind::kPatch) << "100 bytes, scored above the line";
}

TEST_F(PlanTest, ChainsRunThroughEveryStartStateOldestFirst) {
  // Each version adds a byte value: the chain of neighbours scores best.
  const std::string v1 = lines(1, 900);
  const std::string v2 = lines(1, 30) + "xxxxx\n" + lines(31, 900);
  const std::string v3 = v2 + "yyyyy\n";
  put(0, "a.txt", v1);
  put(1, "a.txt", v2);
  put(2, "a.txt", v3);
  // The same in both start states: one delta serves both.
  put(0, "b.txt", lines(5000, 5400));
  put(1, "b.txt", lines(5000, 5400));
  put(2, "b.txt", lines(5000, 5400) + "added\n");
  const DirectoryPlan p = plan();
  ASSERT_EQ(p.files.size(), 2u);
  ASSERT_EQ(p.files[0].kind, Kind::kPatch);
  EXPECT_EQ(chain(p.files[0]), (std::vector<std::string>{"s1\\a.txt", "s2\\a.txt", "s3\\a.txt"}));
  ASSERT_EQ(p.files[1].kind, Kind::kPatch);
  ASSERT_EQ(p.files[1].chain.size(), 2u) << "identical start states need one delta";
  EXPECT_EQ(p.files[1].chain[1]->fullPath, "s3\\b.txt");
}

TEST_F(PlanTest, PatternsOfTheTargetDecide) {
  const std::string text = lines(1, 800);
  put(0, "same.txt", text);
  put(0, "forced.txt", text + "f");
  put(0, "renamed.txt", lines(3000, 3600));
  put(0, "optional.dll", lines(7000, 7500));
  put(1, "same.txt", text);
  put(1, "forced.txt", text + "f");
  put(1, "moved.txt", lines(3000, 3600) + "!\n");
  put(1, "optional.dll", lines(7000, 7500) + "changed\n");
  target.forcePatterns = {pattern("forced.txt")};
  target.exactPatterns = {pattern("moved.txt")};
  target.unimportantPatterns = {pattern("*.dll")};
  DirectoryPlan p = plan();
  ASSERT_EQ(p.files.size(), 4u);
  EXPECT_EQ(p.files[0].kind, Kind::kSkip) << "identical, not forced";
  EXPECT_EQ(p.files[1].kind, Kind::kPatch) << "identical, forced by -f=pattern";
  EXPECT_EQ(p.files[1].chain.size(), 2u);
  EXPECT_EQ(p.files[2].kind, Kind::kEmbed) << "-e: only a source of the same name";
  EXPECT_EQ(p.files[3].kind, Kind::kPatch);
  EXPECT_EQ(p.files[3].flags, patchformat::kFileOptional) << "-u";
  EXPECT_EQ(p.files[1].flags, 0);
  // Without -e the renamed file is its source; -f alone forces every file.
  target.exactPatterns.clear();
  p = plan(true);
  EXPECT_EQ(p.files[0].kind, Kind::kPatch);
  EXPECT_EQ(p.files[2].kind, Kind::kPatch);
  EXPECT_EQ(chain(p.files[2]), (std::vector<std::string>{"s1\\renamed.txt", "s2\\moved.txt"}));
}

TEST_F(PlanTest, ObsoleteFilesFollowTheFirstMatchingPatternThenTheNamedOnes) {
  put(0, "gone.dll", "old library");
  put(0, "kept.dll", "old library too");
  put(0, "gone.txt", "text");
  put(0, "stays.txt", "still here");
  put(1, "gone.dll", "old library");
  put(2, "STAYS.TXT", "still here, name in other case");
  target.removePatterns = {pattern("kept.dll", true), pattern("*.dll")};
  target.removeFiles = {pattern("sys\\named.ini")};
  const DirectoryPlan p = plan();
  ASSERT_EQ(p.removals.size(), 2u) << "one record for a file that two start states have";
  EXPECT_EQ(p.removals[0].name, "gone.dll");
  EXPECT_EQ(p.removals[0].pattern, "*.dll");
  EXPECT_FALSE(p.removals[0].named);
  EXPECT_EQ(p.removals[1].name, "sys\\named.ini");
  EXPECT_TRUE(p.removals[1].named);
}

// A start file that two versions share costs one step wherever the two
// versions stand in the order given: the chain puts them side by side.
TEST_F(PlanTest, IdenticalStartStatesShareOneStepInAnyOrder) {
  // The end file is nearest to a, which b's bytes XYZ take further away.
  const std::string a = lines(1, 900);
  const std::string b = lines(1, 400) + "XYZ\n" + lines(401, 900);
  const std::string end = a + "end\n";
  for (const auto& order : {std::vector<std::string>{a, b, a}, std::vector<std::string>{a, a, b},
                            std::vector<std::string>{b, a, a}}) {
    states.clear();
    for (std::size_t k = 0; k < order.size(); ++k) put(k, "lib.dll", order[k]);
    put(order.size(), "lib.dll", end);
    const DirectoryPlan p = plan();
    ASSERT_EQ(p.files.size(), 1u);
    ASSERT_EQ(p.files[0].kind, Kind::kPatch);
    ASSERT_EQ(p.files[0].chain.size(), 3u) << "b, then one of the two a, then the end file";
    EXPECT_EQ(p.files[0].chain[0]->checksum, patchformat::crc32_noinv(b.data(), b.size()));
  }
}

class FilePlanTest : public PlanTest {
 protected:
  FilePlan planEnd(const std::string& bytes, bool forceAll = false) {
    end = entry("end", "new.txt", bytes);
    std::vector<DirectoryStream*> starts;
    for (auto& s : states) starts.push_back(s.get());
    return planFile(*end, starts, forceAll);
  }
  std::unique_ptr<FileEntry> end;
};

TEST_F(FilePlanTest, AFileIsPatchedFromItsStartStatesOrRefused) {
  const std::string text = lines(1, 800);
  put(0, "old.txt", text);
  FilePlan p = planEnd(text + "more\n");
  EXPECT_EQ(p.refusal, FilePlan::Refusal::kNone);
  EXPECT_EQ(p.chain, (std::vector<const FileEntry*>{states[0]->entries[0].get(), end.get()}));
  p = planEnd(text);
  EXPECT_EQ(p.refusal, FilePlan::Refusal::kIdentical);
  EXPECT_TRUE(p.chain.empty());
  p = planEnd(text, true);
  EXPECT_EQ(p.refusal, FilePlan::Refusal::kNone) << "-f patches identical files";
  EXPECT_EQ(p.chain.size(), 2u);
}

TEST_F(FilePlanTest, IdenticalStartFilesOfDifferentNamesShareOneStep) {
  const std::string a = lines(1, 900);
  const std::string b = lines(1, 400) + "XYZ\n" + lines(401, 900);
  put(0, "v1.dll", a);
  put(1, "v2.dll", a);
  put(2, "v3.dll", b);
  const FilePlan p = planEnd(a + "end\n");
  ASSERT_EQ(p.refusal, FilePlan::Refusal::kNone);
  ASSERT_EQ(p.chain.size(), 3u) << "b, then one of the two a, then the end file";
  EXPECT_EQ(p.chain[0], states[2]->entries[0].get());
  EXPECT_EQ(p.chain[1]->checksum, states[0]->entries[0]->checksum);
}

TEST_F(FilePlanTest, UnrelatedFilesAreRefusedOrForcedInTheOrderGiven) {
  put(0, "one.bin", std::string(3000, '\0'));
  put(1, "two.bin", std::string(3000, '\1'));
  EXPECT_EQ(planEnd(lines(1, 800)).refusal, FilePlan::Refusal::kNoMatch);
  const FilePlan p = planEnd(lines(1, 800), true);
  EXPECT_EQ(p.refusal, FilePlan::Refusal::kNone);
  EXPECT_EQ(p.chain, (std::vector<const FileEntry*>{states[0]->entries[0].get(), states[1]->entries[0].get(),
                                                    end.get()}));
}

}  // namespace
}  // namespace builder
