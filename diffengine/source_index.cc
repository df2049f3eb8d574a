#include "diffengine/source_index.h"

#include <algorithm>
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

std::int64_t SourceIndex::blockSizeFor(std::uint64_t sourceSize, std::int64_t budget) {
  // Entries of 8 bytes, counted as 12 so that the source cache (a third of
  // the budget) fits beside them.
  const std::int64_t entries = std::max<std::int64_t>(1, budget / 12);
  const auto size = static_cast<std::int64_t>(sourceSize);
  return std::max<std::int64_t>(kSmallestBlock, (size + entries - 1) / entries);
}

bool SourceIndex::buildBlocks(platform::File& source, std::uint64_t sourceSize, std::int64_t blockSize,
                              std::uint32_t* checksum) {
  releaseEntries();
  // Chunks of whole blocks, each read with the five bytes after it, so
  // that every block start sees its six bytes.
  const std::int64_t chunk = std::max<std::int64_t>(1, static_cast<std::int64_t>(kSampleChunk) / blockSize) * blockSize;
  auto* buffer = static_cast<std::uint8_t*>(memory_.allocate(static_cast<std::uint64_t>(chunk) + 5, "to memorize source file"));
  struct Release {
    Memory& memory;
    std::uint8_t* block;
    ~Release() { memory.release(block); }
  } release{memory_, buffer};
  const auto S = static_cast<std::int64_t>(sourceSize);
  std::uint32_t crc = patchformat::kCrcStart;
  // visit(p, bytes at p) for every block start p with six bytes in the file.
  const auto walk = [&](auto visit, bool sum) {
    for (std::int64_t base = 0; base < S; base += chunk) {
      const std::int64_t n = std::min(chunk + 5, S - base);
      if (!source.readAt(static_cast<std::uint64_t>(base), buffer, static_cast<std::size_t>(n))) return false;
      const std::int64_t own = std::min(chunk, n);
      if (sum) crc = patchformat::crc32_noinv(crc, buffer, static_cast<std::size_t>(own));
      for (std::int64_t o = 0; o < own && o + 6 <= n; o += blockSize) visit(base + o, buffer + o);
    }
    return true;
  };
  if (!walk([&](std::int64_t, const std::uint8_t* at) { ++count_[indexKey(at)]; }, true)) return false;
  *checksum = crc;
  for (std::uint32_t k = 0; k < kIndexKeys; ++k) samples_ += static_cast<std::uint64_t>(count_[k]);
  allocateEntries(kEntriesPurpose);
  const bool read = walk(
      [&](std::int64_t p, const std::uint8_t* at) {
        const std::uint32_t k = indexKey(at);
        entries_[start_[k] + static_cast<std::uint32_t>(fill_[k]++)] = IndexEntry{probeWord(at), static_cast<std::uint32_t>(p)};
      },
      false);
  if (!read) return false;
  sortBuckets();
  return true;
}

}  // namespace diffengine
