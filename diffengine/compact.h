// The compact search (-o): a suffix array of the source gives the longest
// match at each position; each match is grown forward and backward over
// small differences while most bytes still agree, and such an approximate
// region becomes copies of its exact runs with the differing stretches
// between them as inserts that the encoder codes as differences to the
// aligned source bytes. Both files are in memory (strategy 1).
#pragma once

#include <cstdint>
#include <vector>

#include "diffengine/match.h"
#include "diffengine/memory.h"
#include "diffengine/representation.h"

namespace diffengine {

// Bytes the compact search needs beside the two files (the suffix array
// and its bucket table).
std::uint64_t compactSearchBytes(std::uint64_t sourceSize);

// The suffix array of data[0, n): sa[i] is the start of the i-th smallest
// suffix. The same array on every platform whichever sorter built it.
void suffixSort(const std::uint8_t* data, std::int32_t n, std::int32_t* sa);
// The sorter used where the system has no suffix sorting library; public so
// that tests compare the two.
void suffixSortFallback(const std::uint8_t* data, std::int32_t n, std::int32_t* sa);

// End bytes [a, z) aligned with the source at a + delta.
struct CompactRegion {
  std::int64_t a;
  std::int64_t z;
  std::int64_t delta;
};

// The source's suffix array, sorted once (AllocationFailure when `memory`
// cannot hold it), then any number of walks over the end file.
class CompactSearch {
 public:
  // The regions are found on `threads` threads, in segments of
  // `segmentBytes` (0: chosen by T), with the result of one.
  CompactSearch(const std::uint8_t* source, std::uint64_t S, const std::uint8_t* end, std::uint64_t T, Memory& memory,
                EngineHost& host, int threads = 1, std::int64_t segmentBytes = 0);
  ~CompactSearch();
  CompactSearch(const CompactSearch&) = delete;
  CompactSearch& operator=(const CompactSearch&) = delete;

  // Appends records covering end[0, T) to `records`. Inside a region an
  // exact run of at least `splitRun` bytes becomes its own copy; shorter
  // runs stay zeros in the difference insert. Which is cheaper depends on
  // the data: in machine code the differences are sparse and zeros deflate
  // to almost nothing, in text the changed stretches deflate better apart.
  // The walk reports progress from `fromPercent` to `toPercent`.
  MatchResult walk(std::int64_t splitRun, Representation& records, int fromPercent, int toPercent);

  // The split lengths the engine tries for each delta, keeping the smaller
  // result; the one that suits machine code comes last, whose encoding the
  // engine keeps without encoding it again.
  static constexpr std::int64_t kSplitRuns[] = {128, 600};
  // The split length that keeps short exact runs in the inserts.
  static constexpr std::int64_t kShortSplitRun = 8;

  // Whether the end file is text: at least half of its 4 KiB blocks hold no
  // control bytes but tab, line feed and carriage return (machine code is
  // full of zeros; an archive of text files counts).
  bool endIsText() const { return endIsText_; }

 private:
  void findRegions(int fromPercent, int toPercent);

  const std::uint8_t* source_;
  std::uint64_t S_;
  const std::uint8_t* end_;
  std::uint64_t T_;
  Memory& memory_;
  EngineHost& host_;
  int threads_;
  std::int64_t segmentBytes_;
  std::int32_t* sa_ = nullptr;
  std::uint32_t* starts_ = nullptr;  // the suffix array's buckets by first bytes, after it
  // Where the end file aligns with the source does not depend on the split
  // length: found by the first walk, used by every walk.
  std::vector<CompactRegion> regions_;
  bool regionsFound_ = false;
  bool endIsText_ = false;
};

}  // namespace diffengine
