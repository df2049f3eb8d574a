// The index of sampled source positions: 65536 buckets chosen by two bytes
// of a position, each sorted by the four bytes between them, so that a
// bucket entry stands for six known bytes.
#pragma once

#include <cstdint>

#include "diffengine/memory.h"
#include "platform/files.h"

namespace diffengine {

constexpr std::uint32_t kIndexKeys = 65536;

// IndexKey(p): the byte at p and the byte at p + 5.
inline std::uint32_t indexKey(const std::uint8_t* p) { return p[0] | static_cast<std::uint32_t>(p[5]) << 8; }
// ProbeWord(p): the bytes p + 1 .. p + 4, little-endian.
inline std::uint32_t probeWord(const std::uint8_t* p) {
  return p[1] | static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]) << 16 |
         static_cast<std::uint32_t>(p[4]) << 24;
}

// A bucket entry keeps its word beside the position, so that sorting and
// searching a bucket never touch the file data.
struct IndexEntry {
  std::uint32_t word;
  std::uint32_t position;
};

class SourceIndex {
 public:
  // Allocates the count, fill and bucket tables; they live as long as the index.
  explicit SourceIndex(Memory& memory);
  ~SourceIndex();
  SourceIndex(const SourceIndex&) = delete;
  SourceIndex& operator=(const SourceIndex&) = delete;

  // Strategies 1 and 2: every fifth position of `data` in [4, sourceEnd - 17)
  // and, when endEnd > 0, in [sourceEnd + 4, endEnd - 17); frequent keys are
  // cut on big inputs below level 9.
  void buildFromMemory(const std::uint8_t* data, std::int64_t sourceEnd, std::int64_t endEnd, int searchLevel);

  // Strategy 3: the start of every block of `blockSize` bytes of the
  // source file (read from disk), so that the index takes a small share of
  // the source; the search finds a match through any block it covers and
  // extends it both ways. Sets the source checksum register. False when
  // the file could not be read.
  bool buildBlocks(platform::File& source, std::uint64_t sourceSize, std::int64_t blockSize, std::uint32_t* checksum);
  // The block size whose index fits `budget` bytes.
  static std::int64_t blockSizeFor(std::uint64_t sourceSize, std::int64_t budget);
  static constexpr std::int64_t kSmallestBlock = 5;

  // Entries of bucket `key`, sorted by word; null when empty.
  const IndexEntry* bucket(std::uint32_t key, std::uint32_t* count) const {
    *count = static_cast<std::uint32_t>(count_[key]);
    return *count == 0 ? nullptr : entries_ + start_[key];
  }

  void releaseEntries();
  // Threads that sort the buckets; each bucket is sorted as by one, so the
  // index is the same for any number.
  void setSortThreads(int threads) { sortThreads_ = threads < 1 ? 1 : threads; }

  std::uint64_t samples() const { return samples_; }
  std::uint32_t keysCut() const { return keysCut_; }
  std::uint64_t entries() const { return entryCount_; }

 private:
  void clearCounts();
  void allocateEntries(const char* purpose);
  void sortBuckets();

  Memory& memory_;
  std::int32_t* count_ = nullptr;  // first half of the counter block
  std::int32_t* fill_ = nullptr;   // second half
  std::uint32_t* start_ = nullptr;
  IndexEntry* entries_ = nullptr;
  std::uint64_t entryCount_ = 0;
  int sortThreads_ = 1;
  std::uint64_t samples_ = 0;
  std::uint32_t keysCut_ = 0;
};

// Sorts entries [lo, hi] by word. The exact partition scheme decides the
// order of equal words, which decides between candidates of equal gain.
void sortIndexEntries(IndexEntry* e, std::int64_t lo, std::int64_t hi);

}  // namespace diffengine
