// Seeded round trips: the engine's streams for generated file pairs, decoded
// by the format's decoder, must give the end file back under every memory
// strategy and encoder setting.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "patchformat/crc.h"
#include "tests/engine_support.h"
#include "tests/random_delta.h"
#include "tests/seeded_test.h"

namespace {

using testing_support::EngineRun;
using testing_support::randomBytes;

// An edited copy of `source`: inserts, deletes, overwrites, scattered byte
// changes and moved or repeated blocks.
std::string edit(std::mt19937& rng, const std::string& source, int edits) {
  std::string s = source;
  for (int e = 0; e < edits; ++e) {
    const std::size_t n = s.size();
    const std::size_t at = n == 0 ? 0 : rng() % (n + 1);
    // One draw per statement: the order of draws must not depend on the compiler.
    const bool longEdit = rng() % 4 == 0;
    const std::size_t len = 1 + rng() % (longEdit ? 3000 : 60);
    switch (rng() % 5) {
      case 0:
        s.insert(at, randomBytes(rng, len));
        break;
      case 1:
        if (at < n) s.erase(at, len);
        break;
      case 2:
        for (std::size_t i = at; i < n && i < at + len; ++i) s[i] = static_cast<char>(rng());
        break;
      case 3:
        for (std::size_t i = at; i < n && i < at + len; i += 1 + rng() % 20) s[i] = static_cast<char>(s[i] ^ 0x5A);
        break;
      default:
        if (n > 0) s.insert(at, s.substr(rng() % n, len));  // a repeated block
        break;
    }
  }
  return s;
}

// Text-like bytes: few distinct values, many repeats, like program data.
std::string structured(std::mt19937& rng, std::size_t n) {
  static const char* const kWords[] = {"alpha ", "beta ", "\0\0\0\0", "gamma\n", "delta_", "\x90\x90\x90", "IMPORT "};
  std::string s;
  while (s.size() < n) s += kWords[rng() % 7];
  s.resize(n);
  return s;
}

struct Variant {
  const char* name;
  std::uint32_t hint;
  bool selfReference;
  std::uint8_t b;
  std::uint32_t B;
  std::uint16_t g;
};

const Variant kVariants[] = {
    {"strategy1", 0, false, 20, 245, 190}, {"strategy1-r", 0, true, 20, 245, 190},
    {"strategy2", 1, false, 20, 245, 190}, {"strategy2-r", 1, true, 20, 245, 190},
    {"strategy3", 2, false, 20, 245, 190}, {"strategy3-r", 2, true, 20, 245, 190},
    {"small-chunks", 0, false, 10, 0, 10}, {"big-chunks", 0, true, 255, 10000, 10000},
    {"odd-chunks", 1, false, 37, 3, 11},
};

diffengine::EngineSettings settingsFor(const Variant& v) {
  diffengine::EngineSettings settings;
  settings.engineHint = v.hint;
  settings.selfReference = v.selfReference;
  settings.literalBlockSize = v.b;
  settings.encoderMargin = v.B;
  settings.mismatchGroup = v.g;
  settings.quiet = true;
  return settings;
}

void expectRoundTrip(const std::string& source, const std::string& end, const Variant& v, const std::string& what) {
  const diffengine::EngineSettings settings = settingsFor(v);
  const EngineRun run = testing_support::runEngine(source, end, settings);
  patchformat::DeltaError error;
  const std::string out = testing_support::decodeRun(run, source, &error);
  ASSERT_EQ(error, patchformat::DeltaError::kNone) << what << " " << v.name;
  ASSERT_EQ(out.size(), end.size()) << what << " " << v.name;
  ASSERT_TRUE(out == end) << what << " " << v.name;
  EXPECT_EQ(run.stats.strategy, static_cast<int>(v.hint) + 1);
  EXPECT_EQ(run.source.checksum, patchformat::crc32_noinv(source.data(), source.size())) << what << " " << v.name;
  EXPECT_EQ(run.end.checksum, patchformat::crc32_noinv(end.data(), end.size())) << what << " " << v.name;
  EXPECT_EQ(run.record.checksum, run.source.checksum);
  EXPECT_EQ(run.record.size, source.size());
}

class EngineRoundTrip : public testing_support::SeededTest {};

TEST_F(EngineRoundTrip, GeneratedPairsUnderEveryStrategyAndSetting) {
  for (int round = 0; round < 12; ++round) {
    const std::size_t size = 1000 + rng() % (round < 8 ? 20000 : 300000);
    const std::string source = round % 3 == 2 ? structured(rng, size) : randomBytes(rng, size);
    const std::string end = edit(rng, source, 1 + static_cast<int>(rng() % 30));
    for (const Variant& v : kVariants) {
      expectRoundTrip(source, end, v, "round " + std::to_string(round));
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(EngineRoundTrip, TinyFilesAndSizeBoundaries) {
  for (std::size_t s = 0; s <= 30; s += 3) {
    for (std::size_t t = 0; t <= 30; t += 5) {
      const std::string source = randomBytes(rng, s);
      std::string end = source.substr(0, std::min(s, t)) + randomBytes(rng, t > s ? t - s : 0);
      for (const Variant& v : kVariants) expectRoundTrip(source, end, v, "tiny " + std::to_string(s) + "/" + std::to_string(t));
      if (HasFatalFailure()) return;
    }
  }
  // Sizes where numbers gain a byte and the position range changes.
  for (std::size_t size : {199u, 200u, 201u, 255u, 256u, 257u, 65535u, 65536u, 65537u}) {
    const std::string source = randomBytes(rng, size);
    const std::string end = edit(rng, source, 3);
    const std::string exact = source.substr(0, size);
    for (const Variant& v : kVariants) {
      expectRoundTrip(source, end, v, "size " + std::to_string(size));
      expectRoundTrip(source, exact, v, "same " + std::to_string(size));
      expectRoundTrip(end, source, v, "back " + std::to_string(size));
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(EngineRoundTrip, RepeatedBlocksAndRunsOfOneByte) {
  const std::string block = randomBytes(rng, 700);
  std::string source;
  for (int i = 0; i < 40; ++i) source += i % 5 == 0 ? std::string(900, '\0') : block;
  std::string end = edit(rng, source, 10) + block + block + std::string(3000, '\0');
  for (const Variant& v : kVariants) {
    expectRoundTrip(source, end, v, "repeats");
    expectRoundTrip(std::string(), end, v, "from empty");
    expectRoundTrip(end, std::string(), v, "to empty");
    if (HasFatalFailure()) return;
  }
}

// Files whose index groups are huge: long runs of one byte value, a
// repeated 16-byte pattern, tables of records that differ in a few bytes.
std::string hugeGroups(std::mt19937& rng, std::size_t n, int kind) {
  const std::string pattern = randomBytes(rng, 16);
  std::string s;
  std::uint32_t record = 0;
  while (s.size() < n) {
    switch (kind) {
      case 0:
        s += randomBytes(rng, 20 + rng() % 300);
        s += std::string(100 + rng() % 6000, "\0\0\xff\xcc"[rng() % 4]);
        break;
      case 1:
        for (std::uint32_t k = 10 + rng() % 400; k > 0; --k) s += pattern;
        s += randomBytes(rng, 1 + rng() % 200);
        break;
      default: {
        std::string r(64, '\0');
        r[0] = static_cast<char>(record % 7);
        r[20] = static_cast<char>(record % 3);
        ++record;
        s += r;
        if (rng() % 100 == 0) s += randomBytes(rng, 1 + rng() % 100);
        break;
      }
    }
  }
  s.resize(n);
  return s;
}

// Ordered groups skip only entries that cannot change the result: the
// streams equal those of weighing every entry, with and without
// self-reference, the end file in memory or streamed, at levels 8 and 9.
TEST_F(EngineRoundTrip, OrderedGroupsGiveTheStreamsOfWeighingEveryEntry) {
  for (int round = 0; round < 6; ++round) {
    const std::size_t size = 20000 + rng() % 100000;
    const std::string source = hugeGroups(rng, size, round % 3);
    const std::string end = edit(rng, source, 1 + static_cast<int>(rng() % 40)) + hugeGroups(rng, 5000, round % 3);
    for (const Variant& v : kVariants) {
      if (v.hint == 2) continue;  // the frugal search has no groups to order
      for (const int level : {8, 9}) {
        diffengine::EngineSettings settings = settingsFor(v);
        settings.searchLevel = level;
        const EngineRun ordered = testing_support::runEngine(source, end, settings);
        settings.weighEveryEntry = true;
        const EngineRun plain = testing_support::runEngine(source, end, settings);
        const std::string what = "round " + std::to_string(round) + " " + v.name + " level " + std::to_string(level);
        EXPECT_EQ(ordered.stats.cappedSearches, 0u) << what;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(ordered.streams[i] == plain.streams[i]) << what << " stream " << i;
        patchformat::DeltaError error;
        ASSERT_TRUE(testing_support::decodeRun(ordered, source, &error) == end) << what;
      }
    }
  }
}

// A walk of the end file on several threads cuts it into segments, each
// walked from a guessed state until it meets the true walk: the records,
// streams and counts are those of one thread for any segment size, also
// where segments never meet (an end file with nothing to copy), with huge
// groups and with self-reference.
TEST_F(EngineRoundTrip, WalksOnSeveralThreadsGiveTheRecordsOfOne) {
  for (int round = 0; round < 8; ++round) {
    const std::size_t size = 20000 + rng() % 200000;
    std::string source;
    std::string end;
    switch (round % 4) {
      case 0:
        source = randomBytes(rng, size);
        end = edit(rng, source, 1 + static_cast<int>(rng() % 60));
        break;
      case 1:
        source = structured(rng, size);
        end = edit(rng, source, 1 + static_cast<int>(rng() % 60));
        break;
      case 2:
        source = hugeGroups(rng, size, static_cast<int>(rng() % 3));
        end = edit(rng, source, 1 + static_cast<int>(rng() % 40)) + hugeGroups(rng, 5000, 0);
        break;
      default:
        source = randomBytes(rng, size);
        end = randomBytes(rng, size / 2) + source.substr(0, size / 4) + randomBytes(rng, size / 2);
        break;
    }
    diffengine::EngineSettings settings = settingsFor(kVariants[round % 2]);
    settings.keepSearchRecords = true;
    const EngineRun one = testing_support::runEngine(source, end, settings);
    for (const int threads : {2, 3}) {
      for (const std::int64_t segment : {std::int64_t{997}, std::int64_t{4096}, std::int64_t{50000}}) {
        settings.threads = threads;
        settings.walkSegment = segment;
        const EngineRun many = testing_support::runEngine(source, end, settings);
        const std::string what = "round " + std::to_string(round) + ", " + std::to_string(threads) +
                                 " threads, segments of " + std::to_string(segment);
        ASSERT_TRUE(many.stats.searchRecords == one.stats.searchRecords) << what;
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(many.streams[i] == one.streams[i]) << what << " stream " << i;
        EXPECT_EQ(many.stats.copies, one.stats.copies) << what;
        EXPECT_EQ(many.stats.copiedBytes, one.stats.copiedBytes) << what;
        EXPECT_EQ(many.stats.cappedSearches, one.stats.cappedSearches) << what;
        // The first phase's percentages rise to 100 (only the job's thread reports).
        long last = -1;
        for (std::size_t at = many.progress.find("[1:"); at != std::string::npos; at = many.progress.find("[1:", at + 1)) {
          const long percent = std::stol(many.progress.substr(at + 3));
          EXPECT_GT(percent, last) << what;
          last = percent;
        }
        EXPECT_EQ(last, 100) << what;
      }
    }
  }
}

// The frugal search keeps its matches under any limit: its block index
// grows coarser, and every patch still gives the end file back.
TEST_F(EngineRoundTrip, FrugalSearchUnderTightLimits) {
  for (int round = 0; round < 6; ++round) {
    const std::size_t size = 1000 + rng() % 600000;
    const std::string source = round % 3 == 2 ? structured(rng, size) : randomBytes(rng, size);
    const std::string end = edit(rng, source, 1 + static_cast<int>(rng() % 30));
    for (const std::int64_t limit : {24000, 120000, 1 << 20}) {
      diffengine::EngineSettings settings = settingsFor(kVariants[0]);
      settings.engineHint = 2;
      settings.memoryLimit = limit;
      settings.selfReference = round % 2 == 1;
      const EngineRun run = testing_support::runEngine(source, end, settings);
      const std::string what = "round " + std::to_string(round) + " limit " + std::to_string(limit);
      EXPECT_EQ(run.stats.strategy, 3) << what;
      EXPECT_LE(run.stats.indexEntries * 12, static_cast<std::uint64_t>(limit)) << what;
      patchformat::DeltaError error;
      ASSERT_TRUE(testing_support::decodeRun(run, source, &error) == end) << what;
      EXPECT_EQ(run.end.checksum, patchformat::crc32_noinv(end.data(), end.size())) << what;
    }
  }
}

}  // namespace

namespace {

// The same inputs give the same streams on every platform: these checksums
// were taken on Linux and must hold for the Windows build too (the entropy
// trials depend on floating point).
TEST(EngineDeterminism, StreamsAreTheSameOnEveryPlatform) {
  std::mt19937 rng(4242);
  const std::string text = structured(rng, 150000);
  const std::string source = text + randomBytes(rng, 50000);
  const std::string end = edit(rng, source, 40);
  const std::uint32_t expected[] = {0xb20552e4, 0x633955ae, 0x76a91204, 0xa252296e, 0xef00f262,
                                   0x6c5845b2, 0x02c213b3, 0x386223fb, 0x72e31091};
  int i = 0;
  for (const Variant& v : kVariants) {
    diffengine::EngineSettings settings = settingsFor(v);
    if (v.hint == 2) settings.memoryLimit = 300000;  // a sparse block index
    const EngineRun run = testing_support::runEngine(source, end, settings);
    std::string all = run.record.encode();
    for (const std::string& s : run.streams) all += s;
    const std::uint32_t digest = patchformat::crc32_noinv(all.data(), all.size());
    EXPECT_EQ(digest, expected[i]) << v.name << " 0x" << std::hex << digest;
    ++i;
  }
}

}  // namespace
