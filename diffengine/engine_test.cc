#include "diffengine/engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "diffengine/match.h"
#include "diffengine/memory.h"
#include "diffengine/source_index.h"
#include "patchformat/crc.h"
#include "platform/fault_injection.h"
#include "tests/engine_support.h"

namespace diffengine {
namespace {

using testing_support::EngineRun;
using testing_support::randomBytes;
using testing_support::runEngine;

EngineSettings quietSettings(std::uint32_t hint = 0) {
  EngineSettings s;
  s.quiet = true;
  s.engineHint = hint;
  s.keepSearchRecords = true;
  return s;
}

std::string decoded(const EngineRun& run, const std::string& source) {
  patchformat::DeltaError error;
  std::string out = testing_support::decodeRun(run, source, &error);
  EXPECT_EQ(error, patchformat::DeltaError::kNone);
  return out;
}

class EngineSearch : public ::testing::Test {
 protected:
  std::mt19937 rng{20261208};
};

TEST_F(EngineSearch, IdenticalFilesAreOneCopy) {
  const std::string data = randomBytes(rng, 100000);
  for (std::uint32_t hint : {0u, 1u}) {
    const EngineRun run = runEngine(data, data, quietSettings(hint));
    ASSERT_EQ(run.stats.searchRecords.size(), 1u);
    EXPECT_EQ(run.stats.searchRecords[0], (SearchRecord{100000, 0}));
    EXPECT_EQ(decoded(run, data), data);
  }
}

TEST_F(EngineSearch, InsertInTheMiddleIsCopyInsertCopy) {
  const std::string source = randomBytes(rng, 60000);
  const std::string end = source.substr(0, 30000) + randomBytes(rng, 1000) + source.substr(30000);
  for (std::uint32_t hint : {0u, 1u}) {
    const EngineRun run = runEngine(source, end, quietSettings(hint));
    const auto& r = run.stats.searchRecords;
    ASSERT_EQ(r.size(), 3u) << hint;
    EXPECT_EQ(r[0], (SearchRecord{30000, 0}));
    EXPECT_LT(r[1].n, 0);
    EXPECT_NEAR(static_cast<double>(-r[1].n), 1000, 2);
    EXPECT_EQ(r[2].at, 30000 - (1000 + r[1].n)) << "the second copy continues the source after the first";
    EXPECT_EQ(r[2].at + r[2].n, 60000);
    EXPECT_EQ(decoded(run, source), end);
  }
}

// A piece of `length` source bytes framed by bytes that match nothing.
std::string framedPiece(std::mt19937& rng, const std::string& source, std::size_t at, std::size_t length) {
  std::string piece = source.substr(at, length);
  std::string before = randomBytes(rng, 100);
  std::string after = randomBytes(rng, 100);
  before.back() = static_cast<char>(source[at - 1] ^ 0x55);
  after.front() = static_cast<char>(source[at + length] ^ 0x55);
  return before + piece + after;
}

TEST_F(EngineSearch, TwelveBytesMakeACopyElevenDoNot) {
  const std::string source = randomBytes(rng, 5000);
  for (std::size_t at : {1000u, 1001u, 1002u, 1003u, 1004u}) {
    const EngineRun eleven = runEngine(source, framedPiece(rng, source, at, 11), quietSettings());
    EXPECT_EQ(eleven.stats.copies, 0u) << at;
    const EngineRun twelve = runEngine(source, framedPiece(rng, source, at, 12), quietSettings());
    ASSERT_EQ(twelve.stats.copies, 1u) << at;
    EXPECT_EQ(twelve.stats.searchRecords[1], (SearchRecord{12, static_cast<std::uint32_t>(at)})) << at;
  }
}

TEST_F(EngineSearch, TinyEndFilesAreOneInsertAndEmptyOnesNothing) {
  const std::string source = randomBytes(rng, 3000);
  const EngineRun small = runEngine(source, source.substr(100, 12), quietSettings());
  ASSERT_EQ(small.stats.searchRecords.size(), 1u);
  EXPECT_EQ(small.stats.searchRecords[0], (SearchRecord{-12, 0}));
  const EngineRun empty = runEngine(source, "", quietSettings());
  EXPECT_TRUE(empty.stats.searchRecords.empty());
  EXPECT_EQ(decoded(empty, source), "");
  // A source under 22 bytes has no index entries.
  const std::string tiny = randomBytes(rng, 21);
  EXPECT_EQ(runEngine(tiny, tiny + tiny, quietSettings()).stats.copies, 0u);
  EXPECT_EQ(runEngine(tiny + "x", tiny + "x" + tiny, quietSettings()).stats.indexEntries, 1u);
}

TEST_F(EngineSearch, SelfReferenceCopiesFromEarlierInTheEndFile) {
  const std::string source = randomBytes(rng, 2000);
  const std::string block = randomBytes(rng, 3000);
  const std::string end = block + randomBytes(rng, 50) + block;
  EngineSettings settings = quietSettings();
  settings.selfReference = true;
  const EngineRun run = runEngine(source, end, settings);
  bool fromEnd = false;
  std::uint64_t d = 0;
  for (const SearchRecord& r : run.stats.searchRecords) {
    if (r.n > 0 && r.at >= source.size()) {
      fromEnd = true;
      EXPECT_LE(r.at + r.n, source.size() + d - 5) << "copied bytes end five bytes before the output";
    }
    d += static_cast<std::uint64_t>(r.n < 0 ? -r.n : r.n);
  }
  EXPECT_TRUE(fromEnd);
  EXPECT_EQ(run.record.deltaFlags & 1, 1);
  EXPECT_EQ(decoded(run, source), end);
  // Under strategy 2 the end file is not indexed, though the flag is kept.
  settings.engineHint = 1;
  const EngineRun streamed = runEngine(source, end, settings);
  for (const SearchRecord& r : streamed.stats.searchRecords) EXPECT_FALSE(r.n > 0 && r.at >= source.size());
  EXPECT_EQ(streamed.record.deltaFlags & 1, 1);
  EXPECT_EQ(decoded(streamed, source), end);
}

TEST_F(EngineSearch, FrequentKeysAreCutOnlyAboveFourHundredThousandSamplesBelowLevelNine) {
  // S = 2000021 gives exactly 400000 sampled positions; a zero run makes
  // key 0 far more frequent than 200 times the average.
  for (std::size_t size : {2000021u, 2000022u}) {
    std::string source = randomBytes(rng, size);
    std::fill(source.begin() + 1000, source.begin() + 20000, '\0');
    for (int level : {8, 9}) {
      EngineSettings settings = quietSettings();
      settings.searchLevel = level;
      const EngineRun run = runEngine(source, source.substr(0, 100), settings);
      const std::uint64_t n = size == 2000021u ? 400000u : 400001u;
      EXPECT_EQ(run.stats.samples, n);
      EXPECT_EQ(run.stats.keysCut, n > 400000 && level == 8 ? 1u : 0u) << size << " level " << level;
    }
  }
}

TEST_F(EngineSearch, FailedIndexAllocationRetriesWithTheStreamingStrategy) {
  const std::string source = randomBytes(rng, 50000);
  const std::string end = source.substr(100, 20000) + randomBytes(rng, 300) + source.substr(30000);
  Memory memory;
  memory.failFor("to create indices for the source file", 1);
  const EngineRun run = runEngine(source, end, quietSettings(), &memory);
  EXPECT_EQ(run.stats.strategy, 2);
  EXPECT_EQ(run.stats.attempts, 2);
  EXPECT_EQ(decoded(run, source), end);
  EXPECT_EQ(run.source.checksum, patchformat::crc32_noinv(source.data(), source.size()));

  // Every later failure walks on to strategy 3 and halves its budget.
  memory.failFor("to create indices for the source file", 4);
  const EngineRun frugal = runEngine(source, end, quietSettings(), &memory);
  EXPECT_EQ(frugal.stats.strategy, 3);
  EXPECT_EQ(frugal.stats.attempts, 5);
  EXPECT_EQ(frugal.stats.indexBudget, 7340032u / 4);
  EXPECT_EQ(decoded(frugal, source), end);

  // Without a limit the notice of each strategy a failure brought about is
  // shown once, as under a limit.
  EngineSettings told = quietSettings();
  told.quiet = false;
  memory.failFor("to create indices for the source file", 3);
  const std::string out = runEngine(source, end, told, &memory).out;
  const std::string streaming = "Memory limitation suggests using the streaming dest algorithm!\n";
  const std::string sampled = "Memory/algorithm limitations suggest using less efficient alternate algorithm!\n";
  ASSERT_NE(out.find(streaming), std::string::npos) << out;
  EXPECT_EQ(out.find(streaming), out.rfind(streaming));
  ASSERT_NE(out.find(sampled), std::string::npos) << out;
  EXPECT_EQ(out.find(sampled), out.rfind(sampled));
  EXPECT_LT(out.find(streaming), out.find(sampled));
  // Each starts a line of its own, also after the label of the failed attempt.
  EXPECT_EQ(out[out.find(streaming) - 1], '\n') << out;
  EXPECT_EQ(out[out.find(sampled) - 1], '\n') << out;
  EXPECT_EQ(runEngine(source, end, told).out.find("Memory"), std::string::npos);
}

TEST_F(EngineSearch, AllocationFailuresUnderAFixedLimitEndTheRun) {
  const std::string source = randomBytes(rng, 5000);
  EngineSettings settings = quietSettings();
  settings.memoryLimit = 1000;
  Memory memory;
  memory.failFor("to create indices for the source file", 1);
  try {
    runEngine(source, source, settings, &memory);
    ADD_FAILURE() << "no failure";
  } catch (const AllocationFailure& failure) {
    EXPECT_NE(failure.text().find("to create indices for the source file"), std::string::npos);
  }
}

TEST_F(EngineSearch, StrategyNoticesFollowTheLimitAndTheHint) {
  const std::string source = randomBytes(rng, 100000);
  const std::string end = source + "tail";
  EngineSettings settings;
  // need1 = 80000 + 100000 + 100004 + 524288; need2 = 100004 + 100000 + 524288
  settings.memoryLimit = 804292 - 1;
  EngineRun run = runEngine(source, end, settings);
  EXPECT_EQ(run.stats.strategy, 2);
  EXPECT_EQ(run.out.find("Memory limitation suggests using the streaming dest algorithm!\n"), run.out.rfind("Memory"));
  EXPECT_NE(run.out.find("(100000 -> 100004 Bytes)\n"), std::string::npos);
  settings.memoryLimit = 724292 - 1;
  run = runEngine(source, end, settings);
  EXPECT_EQ(run.stats.strategy, 3);
  EXPECT_NE(run.out.find("Memory/algorithm limitations suggest using less efficient alternate algorithm!\n"),
            std::string::npos);
  settings.quiet = true;
  EXPECT_EQ(runEngine(source, end, settings).out.find("Memory"), std::string::npos);
  settings.memoryLimit = 804292;
  EXPECT_EQ(runEngine(source, end, settings).stats.strategy, 1);
  settings.memoryLimit = 0;
  settings.engineHint = 2;
  EXPECT_EQ(runEngine(source, end, settings).stats.strategy, 3);
}

TEST_F(EngineSearch, ConsoleLinesAndProgressOfTheThreePhases) {
  const std::string source = randomBytes(rng, 3000);
  const std::string end = source.substr(0, 1000) + "0123456789abcdef" + source.substr(1000);
  const EngineRun run = runEngine(source, end, quietSettings());
  // 3 records: 8 * 3 + 16 inserted bytes after the search.
  EXPECT_EQ(run.out.substr(0, run.out.find("Bytes\n", 20) + 6), "(3000 -> 3016 Bytes)\n40 Bytes\n");
  EXPECT_EQ(run.progress.substr(0, 5), "[1:0]");
  EXPECT_NE(run.progress.find("[1:100][2:0]"), std::string::npos);
  EXPECT_NE(run.progress.find("[2:100][3:0]"), std::string::npos);
  EXPECT_EQ(run.progress.substr(run.progress.size() - 7), "[3:100]");
  // The last line is the size of the five streams.
  const std::uint64_t total = run.streams[0].size() + run.streams[1].size() + run.streams[2].size() +
                              run.streams[3].size() + run.streams[4].size();
  const std::string last = std::to_string(total) + " Bytes\n";
  EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
}

// --- strategy 3 ---------------------------------------------------------------

TEST_F(EngineSearch, BlockStrategyIsTheSameOnEveryRunAndKeepsItsIndexSmall) {
  const std::string source = randomBytes(rng, 400000);
  std::string end = source.substr(5000, 200000) + randomBytes(rng, 5000) + source.substr(250000);
  EngineSettings settings = quietSettings(2);
  settings.memoryLimit = 200000;  // a budget that forces large blocks
  const EngineRun a = runEngine(source, end, settings);
  const EngineRun b = runEngine(source, end, settings);
  EXPECT_LE(a.stats.indexEntries * 12, 200000u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a.streams[i], b.streams[i]) << i;
  EXPECT_EQ(decoded(a, source), end);
  // Two copies and the insert between them, however sparse the index; a
  // copy ends at each boundary of the streamed chunks.
  EXPECT_LE(a.stats.copies, 2 + end.size() / kEndChunk);
  EXPECT_EQ(a.stats.copiedBytes, end.size() - 5000);
}

TEST_F(EngineSearch, BlockStrategyExtendsMatchesBackIntoTheInsertBeforeThem) {
  // Blocks of 1000 bytes (budget for 24 entries): a match that starts
  // anywhere is found at the next block start and grown back to its first
  // byte, so the insert holds exactly the unmatched bytes.
  const std::string source = randomBytes(rng, 24000);
  for (const std::size_t junk : {1u, 19u, 250u, 999u}) {
    for (const std::size_t from : {0u, 7u, 1500u, 20001u}) {
      const std::string end = randomBytes(rng, junk) + source.substr(from, 3000) + randomBytes(rng, 50);
      EngineSettings settings = quietSettings(2);
      settings.memoryLimit = 12 * 24;
      const EngineRun run = runEngine(source, end, settings);
      const auto& r = run.stats.searchRecords;
      ASSERT_EQ(r.size(), 3u) << junk << " " << from;
      EXPECT_EQ(r[0], (SearchRecord{-static_cast<std::int32_t>(junk), 0}));
      EXPECT_EQ(r[1], (SearchRecord{3000, static_cast<std::uint32_t>(from)}));
      EXPECT_EQ(decoded(run, source), end);
    }
  }
}

TEST_F(EngineSearch, BlockStrategyGoesOnAfterSmallChangesAndAcrossChunks) {
  // One copy per chunk of the streamed end file at most, and a changed
  // byte costs an insert of one byte: the last copy's alignment is tried
  // first at every position.
  const std::string source = randomBytes(rng, 1000000);
  std::string end = source;
  end[123456] = static_cast<char>(end[123456] ^ 1);
  end[654321] = static_cast<char>(end[654321] ^ 1);
  EngineSettings settings = quietSettings(2);
  settings.memoryLimit = 120000;
  const EngineRun run = runEngine(source, end, settings);
  std::uint64_t inserted = 0;
  for (const SearchRecord& r : run.stats.searchRecords) {
    if (r.n < 0) inserted += static_cast<std::uint64_t>(-r.n);
  }
  EXPECT_EQ(inserted, 2u);
  EXPECT_LE(run.stats.copies, 1000000 / kEndChunk + 3);
  EXPECT_EQ(decoded(run, source), end);
}

TEST_F(EngineSearch, BlockStrategyMergesALongMatchIntoOneRecord) {
  const std::string source = randomBytes(rng, 30000);
  const std::string end = randomBytes(rng, 7) + source.substr(9, 2000) + randomBytes(rng, 100);
  const EngineRun run = runEngine(source, end, quietSettings(2));
  const auto& r = run.stats.searchRecords;
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[1], (SearchRecord{2000, 9}));
  EXPECT_EQ(run.stats.copies, 1u);
  // No fine tuning: no mismatch bytes, every literal chunk raw.
  EXPECT_TRUE(run.streams[4].empty());
  EXPECT_EQ(decoded(run, source), end);
}

// --- encoder ------------------------------------------------------------------

TEST_F(EngineSearch, MismatchBytesAbsorbNearMatches) {
  const std::string source = randomBytes(rng, 100000);
  std::string end = source;
  for (std::size_t i = 500; i < end.size() - 1000; i += 997) end[i] = static_cast<char>(end[i] ^ 1);
  // Groups of 10 copies: only the group that holds the last copy (which
  // reaches the source end) must do without mismatch bytes.
  EngineSettings settings = quietSettings();
  settings.mismatchGroup = 10;
  const EngineRun run = runEngine(source, end, settings);
  EXPECT_GT(run.streams[4].size(), 0u);
  EXPECT_EQ(run.record.deltaFlags & 2, 0) << "differences to the source are all but one byte zero";
  EXPECT_EQ(decoded(run, source), end);
  // A source under 200 bytes never gets mismatch bytes.
  const std::string small = randomBytes(rng, 199);
  std::string smallEnd = small;
  smallEnd[100] = static_cast<char>(smallEnd[100] ^ 1);
  const EngineRun tiny = runEngine(small, smallEnd, quietSettings());
  EXPECT_TRUE(tiny.streams[4].empty());
  EXPECT_EQ(tiny.record.deltaFlags & 2, 2) << "equal entropies choose the raw stream";
  EXPECT_EQ(decoded(tiny, small), smallEnd);
}

TEST_F(EngineSearch, SourceRecordCarriesTheSettings) {
  const std::string source = randomBytes(rng, 5000);
  EngineSettings settings = quietSettings();
  settings.literalBlockSize = 33;
  settings.mismatchGroup = 77;
  const EngineRun run = runEngine(source, source.substr(10), settings);
  EXPECT_EQ(run.record.literalBlockSize, 33);
  EXPECT_EQ(run.record.mismatchGroup, 77);
  EXPECT_EQ(run.record.size, 5000u);
  EXPECT_EQ(run.end.size, 4990u);
}

TEST(EngineFiles, MissingFilesNameTheirMessages) {
  testing_support::CapturingHost host;
  EngineSettings settings;
  platform::SystemFileSystem files;
  Memory memory;
  DifferenceEngine engine(settings, host, files, memory);
  StateFile source{::testing::TempDir() + "no-such-source", 0, 0};
  StateFile end{::testing::TempDir() + "no-such-end", 0, 0};
  try {
    engine.searchStep(source, end);
    ADD_FAILURE();
  } catch (const EngineError& f) {
    EXPECT_TRUE(f.numbered());
    EXPECT_EQ(f.number(), 20);
    EXPECT_EQ(f.argument(), source.path);
  }
  ASSERT_TRUE(testing_support::writeBytes(source.path, "abc"));
  try {
    engine.searchStep(source, end);
    ADD_FAILURE();
  } catch (const EngineError& f) {
    EXPECT_EQ(f.number(), 21);
    EXPECT_EQ(f.argument(), end.path);
  }
  files.deleteFile(source.path);
}

TEST(EngineFiles, AReadTheDiskRefusesEndsTheStepWithMessage22) {
  testing_support::CapturingHost host;
  platform::SystemFileSystem real;
  platform::FaultInjectingFileSystem files(real);
  Memory memory;
  DifferenceEngine engine(EngineSettings(), host, files, memory);
  StateFile source{::testing::TempDir() + "fault_source", 0, 0};
  StateFile end{::testing::TempDir() + "fault_end", 0, 0};
  ASSERT_TRUE(testing_support::writeBytes(source.path, std::string(5000, 's') + "source"));
  ASSERT_TRUE(testing_support::writeBytes(end.path, std::string(5000, 's') + "end"));
  files.failAt(platform::FileOp::kRead, 1);
  try {
    engine.searchStep(source, end);
    ADD_FAILURE() << "a failed read was taken for data";
  } catch (const EngineError& f) {
    EXPECT_EQ(f.number(), 22);
    EXPECT_EQ(f.argument(), source.path);
  }
  engine.searchStep(source, end);  // the engine is ready for the next step
  EXPECT_EQ(source.size, 5006u);
  real.deleteFile(source.path);
  real.deleteFile(end.path);
}

#ifndef _WIN32
// Sizes are 32-bit fields of a patch: a 4 GiB file is refused by name
// before anything is read (a sparse file costs no disk here).
TEST(EngineFiles, FilesOfFourGigabytesAreRefusedByName) {
  testing_support::CapturingHost host;
  platform::SystemFileSystem files;
  Memory memory;
  DifferenceEngine engine(EngineSettings(), host, files, memory);
  StateFile big{::testing::TempDir() + "engine_big", 0, 0};
  StateFile small{::testing::TempDir() + "engine_small", 0, 0};
  ASSERT_TRUE(testing_support::writeBytes(big.path, ""));
  ASSERT_TRUE(testing_support::writeBytes(small.path, "small"));
  std::filesystem::resize_file(big.path, std::uint64_t{1} << 32);
  for (int order = 0; order < 2; ++order) {
    try {
      if (order == 0) {
        engine.searchStep(big, small);
      } else {
        engine.searchStep(small, big);
      }
      ADD_FAILURE();
    } catch (const EngineError& f) {
      EXPECT_FALSE(f.numbered());
      EXPECT_NE(f.text().find("\"" + big.path + "\" is 4 GB or larger"), std::string::npos) << f.text();
    }
  }
  std::filesystem::resize_file(big.path, (std::uint64_t{1} << 32) - 2);  // 5 bytes more reach 4 GiB
  EngineSettings selfReference;
  selfReference.selfReference = true;
  DifferenceEngine withR(selfReference, host, files, memory);
  try {
    withR.searchStep(small, big);
    ADD_FAILURE();
  } catch (const EngineError& f) {
    EXPECT_NE(f.text().find("-r"), std::string::npos);
  }
  files.deleteFile(big.path);
  files.deleteFile(small.path);
}
#endif

TEST(EngineIndex, QuicksortOrdersEqualWordsByItsPartitions) {
  IndexEntry e[] = {{5, 0}, {3, 1}, {5, 2}, {1, 3}, {5, 4}};
  sortIndexEntries(e, 0, 4);
  const std::uint32_t words[] = {1, 3, 5, 5, 5};
  const std::uint32_t positions[] = {3, 1, 4, 0, 2};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(e[i].word, words[i]);
    EXPECT_EQ(e[i].position, positions[i]) << i;
  }
}

// Buckets sorted on several threads hold their entries in the very order
// one thread gives them (equal words included), so the patches stay the same.
TEST(EngineIndex, SortThreadsLeaveTheIndexAsOneThreadMakesIt) {
  std::mt19937 rng(77);
  std::vector<std::uint8_t> data(3 << 20);
  for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(rng() % 7);  // many equal words
  Memory memory;
  SourceIndex one(memory), three(memory);
  three.setSortThreads(3);
  const auto size = static_cast<std::int64_t>(data.size());
  one.buildFromMemory(data.data(), size, 0, 9);
  three.buildFromMemory(data.data(), size, 0, 9);
  ASSERT_EQ(one.entries(), three.entries());
  ASSERT_GT(one.entries(), 1u << 18) << "large enough for the threads";
  for (std::uint32_t key = 0; key < kIndexKeys; ++key) {
    std::uint32_t n = 0, m = 0;
    const IndexEntry* a = one.bucket(key, &n);
    const IndexEntry* b = three.bucket(key, &m);
    ASSERT_EQ(n, m) << key;
    for (std::uint32_t i = 0; i < n; ++i) {
      ASSERT_TRUE(a[i].word == b[i].word && a[i].position == b[i].position) << key << " " << i;
    }
  }
}

TEST(EngineIndex, BlockIndexHoldsEveryBlockStartAndTheChecksum) {
  std::mt19937 rng(7);
  const std::string path = ::testing::TempDir() + "block_source.bin";
  const std::string bytes = randomBytes(rng, 2000003);
  ASSERT_TRUE(testing_support::writeBytes(path, bytes));
  platform::SystemFileSystem files;
  std::unique_ptr<platform::File> file = files.open(path, platform::File::Mode::kRead);
  ASSERT_TRUE(file);
  Memory memory;
  SourceIndex index(memory);
  const std::int64_t block = SourceIndex::blockSizeFor(bytes.size(), 12 * 80000);
  EXPECT_EQ(block, 26);  // 2000003 bytes over 80000 entries
  std::uint32_t checksum = 0;
  ASSERT_TRUE(index.buildBlocks(*file, bytes.size(), block, &checksum));
  EXPECT_EQ(checksum, patchformat::crc32_noinv(bytes.data(), bytes.size()));
  // Block starts p with p + 6 <= size, each under its own key and word.
  EXPECT_EQ(index.entries(), (bytes.size() - 6) / 26 + 1);
  for (std::uint32_t key = 0; key < 65536; ++key) {
    std::uint32_t count = 0;
    const IndexEntry* e = index.bucket(key, &count);
    for (std::uint32_t i = 0; i < count; ++i) {
      ASSERT_EQ(e[i].position % 26, 0u);
      const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data()) + e[i].position;
      ASSERT_EQ(indexKey(at), key);
      ASSERT_EQ(probeWord(at), e[i].word);
      if (i > 0) {
        ASSERT_LE(e[i - 1].word, e[i].word);
      }
    }
  }
  EXPECT_EQ(SourceIndex::blockSizeFor(1000, 12 * 80000), SourceIndex::kSmallestBlock);
  file.reset();
  files.deleteFile(path);
}

TEST(EngineIndex, PortableLogarithm) {
  EXPECT_DOUBLE_EQ(portableLog(1.0), 0.0);
  EXPECT_NEAR(portableLog(2.0), 0.69314718055994530942, 1e-15);
  for (double x : {1e-9, 0.001, 0.3, 0.5, 0.7071, 0.99, 1.5, 1000.0}) EXPECT_NEAR(portableLog(x), std::log(x), 1e-14 * std::fabs(std::log(x)) + 1e-16) << x;
}

}  // namespace
}  // namespace diffengine
