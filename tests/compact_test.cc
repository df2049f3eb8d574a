// The compact search (-o): its suffix sorters, and round trips of its
// streams through the format's decoder for random and machine-code-like
// pairs, with self reference on and off, under a memory limit and budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "diffengine/compact.h"
#include "diffengine/representation.h"
#include "patchformat/crc.h"
#include "tests/engine_support.h"
#include "tests/random_delta.h"
#include "tests/seeded_test.h"

namespace {

using testing_support::EngineRun;
using testing_support::randomBytes;

std::vector<std::int32_t> naiveSuffixArray(const std::string& s) {
  std::vector<std::int32_t> sa(s.size());
  std::iota(sa.begin(), sa.end(), 0);
  std::sort(sa.begin(), sa.end(), [&](std::int32_t a, std::int32_t b) {
    return s.compare(static_cast<std::size_t>(a), std::string::npos, s, static_cast<std::size_t>(b)) < 0;
  });
  return sa;
}

std::vector<std::int32_t> sorted(const std::string& s, bool fallback) {
  std::vector<std::int32_t> sa(s.size() + 1, -1);
  const auto* data = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto n = static_cast<std::int32_t>(s.size());
  if (fallback) {
    diffengine::suffixSortFallback(data, n, sa.data());
  } else {
    diffengine::suffixSort(data, n, sa.data());
  }
  EXPECT_EQ(sa.back(), -1) << "wrote past the array";
  sa.pop_back();
  return sa;
}

class SuffixSort : public testing_support::SeededTest {};

TEST_F(SuffixSort, BothSortersAgreeWithComparisonSorting) {
  std::vector<std::string> inputs = {"", "a", "aaaaaaaaaaaaaaaa", "abababababab", "banana", "mississippi",
                                     std::string(300, '\0'), std::string("\xff\x00\xff\x00\xff", 5)};
  for (int i = 0; i < 20; ++i) inputs.push_back(randomBytes(rng, 1 + rng() % 2000));
  // Few symbols and long repeats: many doubling rounds.
  for (int i = 0; i < 10; ++i) {
    std::string s;
    const std::string unit = randomBytes(rng, 1 + rng() % 7);
    while (s.size() < 1500) s += rng() % 9 == 0 ? std::string(1, static_cast<char>(rng() & 3)) : unit;
    inputs.push_back(s);
  }
  for (const std::string& s : inputs) {
    const std::vector<std::int32_t> want = naiveSuffixArray(s);
    EXPECT_EQ(sorted(s, true), want) << "fallback, size " << s.size();
    EXPECT_EQ(sorted(s, false), want) << "system sorter, size " << s.size();
  }
}

// Machine-code-like pairs: blocks of code whose 4-byte addresses shift when
// a block moves, with inserts and deletions between them.
struct CodePair {
  std::string source, end;
};

CodePair shiftedCode(std::mt19937& rng, int blocks) {
  CodePair pair;
  std::vector<std::string> parts;
  for (int b = 0; b < blocks; ++b) parts.push_back(randomBytes(rng, 200 + rng() % 3000));
  for (const std::string& p : parts) pair.source += p;
  std::shuffle(parts.begin(), parts.end(), rng);
  for (std::string& p : parts) {
    const std::uint32_t shift = rng() % 4096;
    for (std::size_t i = rng() % 16; i + 4 <= p.size(); i += 8 + rng() % 40) {
      std::uint32_t v = 0;
      for (int k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[i + k])) << (8 * k);
      v += shift;
      for (int k = 0; k < 4; ++k) p[i + k] = static_cast<char>(v >> (8 * k));
    }
    const int what = static_cast<int>(rng() % 4);
    if (what == 0) p.insert(rng() % p.size(), randomBytes(rng, 1 + rng() % 300));
    if (what == 1) p.erase(rng() % p.size(), 1 + rng() % 100);
    pair.end += p;
  }
  return pair;
}

diffengine::EngineSettings compactSettings(bool selfReference) {
  diffengine::EngineSettings settings;
  settings.compact = true;
  settings.selfReference = selfReference;
  settings.quiet = true;
  return settings;
}

std::string streamsOf(const EngineRun& run) {
  std::string all;
  for (const std::string& s : run.streams) all += s;
  return all;
}

void expectRoundTrip(const std::string& source, const std::string& end, const diffengine::EngineSettings& settings,
                     const std::string& what, diffengine::Memory* memory = nullptr) {
  const EngineRun run = testing_support::runEngine(source, end, settings, memory);
  patchformat::DeltaError error;
  const std::string out = testing_support::decodeRun(run, source, &error);
  ASSERT_EQ(error, patchformat::DeltaError::kNone) << what;
  ASSERT_TRUE(out == end) << what;
  EXPECT_EQ(run.end.checksum, patchformat::crc32_noinv(end.data(), end.size())) << what;
  EXPECT_EQ(run.record.checksum, patchformat::crc32_noinv(source.data(), source.size())) << what;
  // Deterministic: a second run gives the same streams and record.
  const EngineRun again = testing_support::runEngine(source, end, settings, memory);
  EXPECT_EQ(streamsOf(again), streamsOf(run)) << what;
  EXPECT_EQ(again.record.encode(), run.record.encode()) << what;
}

class CompactRoundTrip : public testing_support::SeededTest {};

TEST_F(CompactRoundTrip, ShiftedAddressesMovedBlocksInsertsAndDeletions) {
  for (int i = 0; i < 12; ++i) {
    const CodePair pair = shiftedCode(rng, 2 + static_cast<int>(rng() % 20));
    for (bool r : {false, true}) {
      expectRoundTrip(pair.source, pair.end, compactSettings(r), "pair " + std::to_string(i) + (r ? " -r" : ""));
    }
  }
}

// The regions found in segments on several threads are those of one
// thread, for any segment size, also where an end file has long stretches
// with nothing to align.
TEST_F(CompactRoundTrip, RegionsOnSeveralThreadsAreThoseOfOne) {
  for (int i = 0; i < 6; ++i) {
    CodePair pair = shiftedCode(rng, 10 + static_cast<int>(rng() % 30));
    if (i % 3 == 2) pair.end = randomBytes(rng, 20000) + pair.end + randomBytes(rng, 20000);
    diffengine::EngineSettings settings = compactSettings(i % 2 == 1);
    settings.keepSearchRecords = true;
    const EngineRun one = testing_support::runEngine(pair.source, pair.end, settings);
    ASSERT_FALSE(one.stats.searchRecords.empty());
    for (const int threads : {2, 3}) {
      for (const std::int64_t segment : {std::int64_t{613}, std::int64_t{5000}}) {
        settings.threads = threads;
        settings.walkSegment = segment;
        const EngineRun many = testing_support::runEngine(pair.source, pair.end, settings);
        const std::string what =
            "pair " + std::to_string(i) + ", " + std::to_string(threads) + " threads, segments of " + std::to_string(segment);
        ASSERT_TRUE(many.stats.searchRecords == one.stats.searchRecords) << what;
        EXPECT_EQ(streamsOf(many), streamsOf(one)) << what;
      }
    }
  }
}

// Text (its own region rule, and for an LZMA body a walk that keeps short
// exact runs in the inserts): edited lines of words, phrases that repeat
// everywhere, also between binary headers as in an archive, for either body.
TEST_F(CompactRoundTrip, TextPairsForEitherBody) {
  const std::vector<std::string> words = {"const ", "return ", "node", ".kind", " === ", "(", ")", "{\n", "}\n",
                                          "function ", "getTypeOfSymbol", ", ", "checker", ";\n", "  ", "\t"};
  const auto line = [&] {
    std::string l;
    for (int k = 3 + static_cast<int>(rng() % 12); k > 0; --k) l += words[rng() % words.size()];
    return l + "\n";
  };
  for (int i = 0; i < 8; ++i) {
    std::vector<std::string> lines;
    for (int k = 200 + static_cast<int>(rng() % 800); k > 0; --k) lines.push_back(line());
    std::string source, end;
    // Some pairs are like archives of text files: a header of binary
    // fields and zeros before every few dozen lines.
    const bool archive = i % 4 == 3;
    const auto header = [&](std::size_t k) { return std::string("name") + std::to_string(k) + std::string(60, '\0'); };
    for (std::size_t k = 0; k < lines.size(); ++k) source += (archive && k % 40 == 0 ? header(k) : "") + lines[k];
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (archive && k % 40 == 0) end += header(k);
      const unsigned what = rng() % 10;
      if (what == 0) continue;                        // a line deleted
      if (what == 1) end += line();                   // a line inserted
      end += what == 2 ? line() : lines[k];           // a line changed
    }
    for (bool lzma : {false, true}) {
      diffengine::EngineSettings settings = compactSettings(i % 2 == 1);
      settings.lzmaBody = lzma;
      expectRoundTrip(source, end, settings, "text " + std::to_string(i) + (lzma ? " lzma" : ""));
    }
  }
}

TEST_F(CompactRoundTrip, RandomPairsTinyAndEmptyFiles) {
  const std::vector<std::pair<std::string, std::string>> fixed = {
      {"", ""}, {"", "abc"}, {"abc", ""}, {"a", "a"}, {std::string(17, 'x'), std::string(17, 'x')},
      {std::string(5000, '\0'), std::string(7000, '\0')}, {"0123456789abcdefghij", "0123456789abcdefghij!"}};
  for (const auto& p : fixed) {
    for (bool r : {false, true}) expectRoundTrip(p.first, p.second, compactSettings(r), "fixed pair");
  }
  for (int i = 0; i < 15; ++i) {
    const std::string source = randomBytes(rng, rng() % 5000);
    std::string end = source;
    if (!end.empty()) end.erase(rng() % end.size(), rng() % 200);
    end.insert(end.empty() ? 0 : rng() % end.size(), randomBytes(rng, rng() % 300));
    if (rng() % 3 == 0) end = randomBytes(rng, rng() % 3000);  // nothing in common
    for (bool r : {false, true}) {
      expectRoundTrip(source, end, compactSettings(r), "random " + std::to_string(i));
    }
  }
}

// Under a memory limit too small for the suffix array, and when the array
// cannot be allocated, the step falls back to the usual search.
TEST_F(CompactRoundTrip, FallsBackToTheUsualSearchWithoutRoomForTheSuffixArray) {
  const CodePair pair = shiftedCode(rng, 40);
  diffengine::EngineSettings limited = compactSettings(false);
  limited.memoryLimit = static_cast<std::int64_t>(pair.source.size() * 2 + pair.end.size()) + 524288;
  expectRoundTrip(pair.source, pair.end, limited, "under -m");
  diffengine::EngineSettings usual = compactSettings(false);
  usual.compact = false;
  usual.memoryLimit = limited.memoryLimit;
  EXPECT_EQ(streamsOf(testing_support::runEngine(pair.source, pair.end, limited)),
            streamsOf(testing_support::runEngine(pair.source, pair.end, usual)));

  diffengine::Memory memory;
  memory.failFor("to sort the source file's suffixes", 2);
  const EngineRun run = testing_support::runEngine(pair.source, pair.end, compactSettings(false), &memory);
  patchformat::DeltaError error;
  EXPECT_TRUE(testing_support::decodeRun(run, pair.source, &error) == pair.end);
  EXPECT_EQ(error, patchformat::DeltaError::kNone);
}

// Changes closer together than the shortest new alignment: one region grows
// over all of them from the unchanged start.
TEST(CompactSearch, GrowsRegionsOverDenseChanges) {
  std::mt19937 rng(20261209);
  const std::string source = randomBytes(rng, 20000);
  std::string end = source;
  for (std::size_t i = 100 + rng() % 10; i < end.size(); i += 10) end[i] = static_cast<char>(end[i] + 1);
  expectRoundTrip(source, end, compactSettings(false), "dense changes");
  diffengine::EngineSettings keep = compactSettings(false);
  keep.keepSearchRecords = true;
  const EngineRun run = testing_support::runEngine(source, end, keep);
  EXPECT_EQ(run.stats.copies, 1u) << "one copy starts the region, the rest is one insert of differences";
}

// Text with words changed, lines inserted and lines deleted.
CodePair editedText(std::mt19937& rng, int lines) {
  static const char* const kWords[] = {"const", "return", "function", "value", "node", "type", "if", "else",
                                       "checker", "symbol", "this", "=>", "{", "}", "(", ")", ";", "flags"};
  auto line = [&] {
    std::string l(2 * (rng() % 4), ' ');
    for (int w = 1 + static_cast<int>(rng() % 9); w > 0; --w) l += std::string(kWords[rng() % 18]) + " ";
    return l + "\n";
  };
  CodePair pair;
  for (int i = 0; i < lines; ++i) {
    const std::string l = line();
    pair.source += l;
    switch (rng() % 12) {
      case 0: pair.end += line(); break;       // changed
      case 1: break;                           // deleted
      case 2: pair.end += l + line(); break;   // a line inserted after it
      default: pair.end += l;
    }
  }
  return pair;
}

std::vector<diffengine::SearchRecord> walkWith(const CodePair& pair, std::int64_t splitRun) {
  diffengine::Memory memory;
  testing_support::CapturingHost host;
  diffengine::Representation records(memory);
  const auto* source = reinterpret_cast<const std::uint8_t*>(pair.source.data());
  const auto* end = reinterpret_cast<const std::uint8_t*>(pair.end.data());
  diffengine::CompactSearch search(source, pair.source.size(), end, pair.end.size(), memory, host);
  search.walk(splitRun, records, 0, 100);
  std::vector<diffengine::SearchRecord> all;
  for (std::uint64_t i = 0; i < records.size(); ++i) all.push_back(records[i]);
  return all;
}

// The split lengths whose walk the compact search kept for each pair, and
// whether the walks differed at all; every pair's streams decode to its end
// file, and the sizes and progress are shown once, as for the usual search.
struct KeptWalk {
  std::size_t split;  // index in kSplitRuns
  bool walksDiffer;
};

KeptWalk expectOneKeptWalk(const CodePair& pair, const std::string& what) {
  const auto& splits = diffengine::CompactSearch::kSplitRuns;
  expectRoundTrip(pair.source, pair.end, compactSettings(false), what);
  diffengine::EngineSettings keep = compactSettings(false);
  keep.keepSearchRecords = true;
  const EngineRun run = testing_support::runEngine(pair.source, pair.end, keep);
  std::vector<std::vector<diffengine::SearchRecord>> walks;
  for (std::int64_t split : splits) walks.push_back(walkWith(pair, split));
  const auto at = std::find(walks.begin(), walks.end(), run.stats.searchRecords);
  EXPECT_TRUE(at != walks.end()) << what << ": the kept records are no walk's";
  diffengine::EngineSettings usual = keep;
  usual.compact = false;
  const EngineRun plain = testing_support::runEngine(pair.source, pair.end, usual);
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), std::count(plain.out.begin(), plain.out.end(), '\n'))
      << what << "\n" << run.out;
  for (const char* start : {"[2:0]", "[3:0]"}) {
    const std::size_t first = run.progress.find(start);
    EXPECT_TRUE(first != std::string::npos && run.progress.find(start, first + 1) == std::string::npos)
        << what << " " << start;
  }
  return KeptWalk{static_cast<std::size_t>(at - walks.begin()), walks.front() != walks.back()};
}

// Each delta is walked with every split length and the encoding that
// deflates smaller is kept (the last trial encoding where the walks are
// the same): whichever it is, the kept records are one walk's.
TEST_F(CompactRoundTrip, KeepsOneWalkAndShowsItOnce) {
  for (int i = 0; i < 6; ++i) {
    const CodePair pair = i % 2 == 0 ? editedText(rng, 2000 + static_cast<int>(rng() % 3000))
                                     : shiftedCode(rng, 30 + static_cast<int>(rng() % 30));
    expectOneKeptWalk(pair, "pair " + std::to_string(i));
  }
}

// Which walk wins depends on the bytes: on these fixed text pairs (seeds
// where the two walks differ) the shorter split deflates smaller and is
// kept. A fresh draw may give a pair whose walks are the same.
TEST(CompactSearch, TextKeepsTheShorterSplit) {
  for (unsigned seed : {3u, 4u, 5u}) {
    std::mt19937 rng(seed);
    const KeptWalk kept = expectOneKeptWalk(editedText(rng, 2000 + static_cast<int>(rng() % 3000)),
                                            "text seed " + std::to_string(seed));
    EXPECT_TRUE(kept.walksDiffer) << "text seed " << seed;
    EXPECT_EQ(kept.split, 0u) << "text seed " << seed;
  }
}

}  // namespace
