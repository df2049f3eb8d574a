#include "diffengine/source_index.h"

#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "diffengine/memory.h"
#include "patchformat/crc.h"

namespace diffengine {
namespace {

constexpr const char* kEntriesPurpose = "to create indices for the source file";
constexpr std::size_t kSampleChunk = 50000;
constexpr std::int64_t kBudgetUnit = 12 * std::int64_t{kIndexKeys};  // 12 bytes for each key

// Reads up to n bytes; returns the count, -1 on an error.
long readChunk(platform::File& file, std::uint8_t* buffer, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const long r = file.read(buffer + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long>(got);
}

// Walks the sampled positions of a file read in 50000-byte chunks: offsets
// 4, 9, ... below the chunk length - 5, so all six bytes lie in the chunk.
template <typename Visit>
bool walkChunks(platform::File& file, std::uint8_t* buffer, Visit visit, std::uint32_t* crc) {
  if (!file.seek(0)) return false;
  std::uint64_t base = 0;
  for (;;) {
    const long n = readChunk(file, buffer, kSampleChunk);
    if (n < 0) return false;
    if (n == 0) return true;
    for (long o = 4; o < n - 5; o += 5) visit(base + static_cast<std::uint64_t>(o), buffer + o);
    if (crc != nullptr) *crc = patchformat::crc32_noinv(*crc, buffer, static_cast<std::size_t>(n));
    base += static_cast<std::uint64_t>(n);
    if (static_cast<std::size_t>(n) < kSampleChunk) return true;
  }
}

}  // namespace

constexpr std::uint64_t kParallelSortFrom = 1 << 18;

void sortIndexEntries(IndexEntry* e, std::int64_t lo, std::int64_t hi) {
  // The smaller side recurses and the larger loops: the same partitions as
  // sorting both sides in turn, with a stack depth of log n.
  while (lo < hi) {
    const std::uint32_t pivot = e[(lo + hi) / 2].word;
    std::int64_t i = lo;
    std::int64_t j = hi;
    do {
      while (e[i].word < pivot) ++i;
      while (e[j].word > pivot) --j;
      if (i <= j) {
        std::swap(e[i], e[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - lo < hi - i) {
      if (lo < j) sortIndexEntries(e, lo, j);
      lo = i;
    } else {
      if (i < hi) sortIndexEntries(e, i, hi);
      hi = j;
    }
  }
}

SourceIndex::SourceIndex(Memory& memory) : memory_(memory) {
  auto* counters = static_cast<std::int32_t*>(memory_.allocate(2 * kIndexKeys * sizeof(std::int32_t),
                                                          "to hold counters for internal purposes"));
  count_ = counters;
  fill_ = counters + kIndexKeys;
  try {
    start_ = static_cast<std::uint32_t*>(memory_.allocate(kIndexKeys * sizeof(std::uint32_t), "to create indices for the start file"));
  } catch (...) {
    memory_.release(counters);
    throw;
  }
  clearCounts();
}

SourceIndex::~SourceIndex() {
  releaseEntries();
  releaseSampleTables();
  memory_.release(start_);
  memory_.release(count_);
}

void SourceIndex::clearCounts() {
  std::memset(count_, 0, 2 * kIndexKeys * sizeof(std::int32_t));
  samples_ = 0;
  keysCut_ = 0;
}

void SourceIndex::releaseEntries() {
  memory_.release(entries_);
  entries_ = nullptr;
  entryCount_ = 0;
  clearCounts();
}

void SourceIndex::releaseSampleTables() {
  memory_.release(saved_);
  saved_ = nullptr;
}

void SourceIndex::allocateEntries(const char* purpose) {
  std::uint64_t total = 0;
  for (std::uint32_t k = 0; k < kIndexKeys; ++k) {
    start_[k] = static_cast<std::uint32_t>(total);
    total += static_cast<std::uint64_t>(count_[k]);
  }
  entries_ = static_cast<IndexEntry*>(memory_.allocate(total * sizeof(IndexEntry), purpose));
  entryCount_ = total;
}

void SourceIndex::sortBuckets() {
  const auto sortKeys = [this](std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t k = from; k < to; ++k) {
      if (count_[k] > 1) sortIndexEntries(entries_ + start_[k], 0, count_[k] - 1);
    }
  };
  // Small indexes are not worth a thread.
  if (sortThreads_ == 1 || entryCount_ < kParallelSortFrom) {
    sortKeys(0, kIndexKeys);
    return;
  }
  // Runs of keys that hold about as many entries each, one per thread.
  std::vector<std::uint32_t> cuts{0};
  std::uint64_t seen = 0;
  const auto parts = static_cast<std::uint64_t>(sortThreads_);
  for (std::uint32_t k = 0; k < kIndexKeys && cuts.size() < parts; ++k) {
    seen += static_cast<std::uint64_t>(count_[k]);
    if (seen * parts >= entryCount_ * cuts.size()) cuts.push_back(k + 1);
  }
  cuts.push_back(kIndexKeys);
  std::vector<std::thread> helpers;
  std::size_t part = 1;  // parts 1 .. part - 1 run on helpers
  for (; part + 1 < cuts.size(); ++part) {
    try {
      helpers.emplace_back(sortKeys, cuts[part], cuts[part + 1]);
    } catch (const std::system_error&) {
      break;  // no thread to be had: this one sorts the rest
    }
  }
  sortKeys(cuts[0], cuts[1]);
  if (part + 1 < cuts.size()) sortKeys(cuts[part], kIndexKeys);
  for (std::thread& t : helpers) t.join();
}

void SourceIndex::buildFromMemory(const std::uint8_t* data, std::int64_t sourceEnd, std::int64_t endEnd,
                                  int searchLevel) {
  releaseEntries();
  const std::int64_t ranges[2][2] = {{4, sourceEnd - 17}, {sourceEnd + 4, endEnd - 17}};
  const int rangeCount = endEnd > 0 ? 2 : 1;
  for (int r = 0; r < rangeCount; ++r) {
    for (std::int64_t p = ranges[r][0]; p < ranges[r][1]; p += 5) ++count_[indexKey(data + p)];
  }
  for (std::uint32_t k = 0; k < kIndexKeys; ++k) samples_ += static_cast<std::uint64_t>(count_[k]);
  if (searchLevel < 9 && samples_ > 400000) {
    const std::uint64_t limit = (samples_ / kIndexKeys) * 200;
    for (std::uint32_t k = 0; k < kIndexKeys; ++k) {
      if (static_cast<std::uint64_t>(count_[k]) > limit) {
        count_[k] = 0;
        ++keysCut_;
      }
    }
  }
  allocateEntries(kEntriesPurpose);
  for (int r = 0; r < rangeCount; ++r) {
    for (std::int64_t p = ranges[r][0]; p < ranges[r][1]; p += 5) {
      const std::uint8_t* at = data + p;
      const std::uint32_t k = indexKey(at);
      if (count_[k] == 0) continue;
      entries_[start_[k] + static_cast<std::uint32_t>(fill_[k]++)] = IndexEntry{probeWord(at), static_cast<std::uint32_t>(p)};
    }
  }
  sortBuckets();
}

bool SourceIndex::buildSampled(platform::File& source, std::int64_t budget, RuntimeRand& rand,
                               std::uint32_t* checksum) {
  releaseEntries();
  if (saved_ == nullptr) saved_ = static_cast<std::int32_t*>(memory_.allocate(kIndexKeys * sizeof(std::int32_t), "to backup the index"));
  auto* buffer = static_cast<std::uint8_t*>(memory_.allocate(kSampleChunk, "to memorize source file"));
  struct Release {
    Memory& memory;
    std::uint8_t* block;
    ~Release() { memory.release(block); }
  } release{memory_, buffer};

  std::uint32_t crc = patchformat::kCrcStart;
  if (!walkChunks(source, buffer, [&](std::uint64_t, const std::uint8_t* at) { ++count_[indexKey(at)]; }, &crc)) return false;
  *checksum = crc;
  std::memcpy(saved_, count_, kIndexKeys * sizeof(std::int32_t));
  for (std::uint32_t k = 0; k < kIndexKeys; ++k) samples_ += static_cast<std::uint64_t>(count_[k]);

  // Fit to the budget: frequent keys lose 3 % per round until the entries
  // take less than the budget (once every count is below t they take under 80 %).
  const std::int64_t t = budget / kBudgetUnit * 8 / 10;
  for (;;) {
    std::int64_t sum = 0;
    for (std::uint32_t k = 0; k < kIndexKeys; ++k) sum += count_[k];
    if (12 * sum < budget) break;
    for (std::uint32_t k = 0; k < kIndexKeys; ++k) {
      if (count_[k] >= t) count_[k] = static_cast<std::int32_t>(count_[k] * 0.97);
    }
  }
  allocateEntries(kEntriesPurpose);

  const bool read = walkChunks(
      source, buffer,
      [&](std::uint64_t p, const std::uint8_t* at) {
        // Selection sampling: of the bucket's positions not yet seen, each
        // is kept with the chance (entries still wanted) / (positions left),
        // so that the bucket gets exactly its count spread evenly over the
        // file. The draw has 30 bits and is compared in integers, so every
        // platform keeps the same positions.
        const std::uint32_t k = indexKey(at);
        const std::int64_t left = saved_[k]--;
        const std::int64_t wanted = count_[k] - fill_[k];
        if (wanted <= 0) return;
        const std::int64_t high = rand.next();
        const std::int64_t draw = high << 15 | rand.next();
        if (draw * left < wanted << 30) entries_[start_[k] + static_cast<std::uint32_t>(fill_[k]++)] = IndexEntry{probeWord(at), static_cast<std::uint32_t>(p)};
      },
      nullptr);
  if (!read) return false;
  for (std::uint32_t k = 0; k < kIndexKeys; ++k) count_[k] = fill_[k];
  sortBuckets();
  return true;
}

}  // namespace diffengine
