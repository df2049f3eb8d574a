#include "diffengine/block_search.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace diffengine {
namespace {

// The source file in 4 KiB pages, each in a fixed slot (page number modulo
// the slot count): the candidates of one bucket lie all over the file.
// Sources up to 16 MiB fit whole unless the caller sets a smaller limit.
class SourceCache {
 public:
  static constexpr std::uint64_t kPage = 4096;

  // `limit`: most bytes to hold, 0 for no limit.
  void setUp(platform::File* file, std::uint64_t size, std::uint64_t limit) {
    file_ = file;
    size_ = size;
    std::uint64_t want = std::min<std::uint64_t>(size, std::uint64_t{16} << 20);
    if (limit > 0) want = std::min<std::uint64_t>(want, limit);
    slots_ = std::max<std::uint64_t>(2, (want + kPage - 1) / kPage);
    pages_.assign(static_cast<std::size_t>(slots_ * kPage), 0);
    tags_.assign(static_cast<std::size_t>(slots_), 0);
  }

  // The page holding `address` and how many of its bytes lie from there
  // on (*after) and before it (*before); null on a read error.
  const std::uint8_t* at(std::uint64_t address, std::int64_t* after, std::int64_t* before) {
    const std::uint64_t number = address / kPage;
    const std::uint64_t slot = number % slots_;
    std::uint8_t* page = pages_.data() + slot * kPage;
    const std::uint64_t offset = number * kPage;
    const std::uint64_t length = std::min(kPage, size_ - offset);
    if (tags_[slot] != number + 1) {
      tags_[slot] = 0;
      if (!file_->readAt(offset, page, static_cast<std::size_t>(length))) return nullptr;
      tags_[slot] = number + 1;
    }
    *after = static_cast<std::int64_t>(offset + length - address);
    *before = static_cast<std::int64_t>(address - offset);
    return page + (address - offset);
  }

 private:
  platform::File* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t slots_ = 2;
  std::vector<std::uint8_t> pages_;
  std::vector<std::uint64_t> tags_;  // page number + 1 held by each slot, 0 for none
};

class BlockWalker {
 public:
  // Candidates weighed at one position: the bucket entries of its word
  // nearest the binary search's find. Buckets of runs and repeats hold
  // thousands of equal words, and any of them extends alike.
  static constexpr std::int64_t kMostCandidates = 32;

  BlockWalker(const MatchInput& in, const SourceIndex& index, Representation& records, EngineHost& host)
      : in_(in), index_(index), records_(records), progress_(in.endSize, host),
        S_(static_cast<std::int64_t>(in.sourceSize)) {
    cache_.setUp(in.sourceFile, in.sourceSize, in.cacheLimit);
  }

  MatchResult run() {
    result_.endChecksum = streamEndFile(in_, [this](std::int64_t start, const std::uint8_t* bytes, std::int64_t n) {
      searchRange(start, bytes, n);
    });
    progress_.finish();
    return result_;
  }

 private:
  struct Match {
    std::int64_t from = 0;      // end offset of its first byte
    std::int64_t length = 0;
    std::uint64_t address = 0;  // source address of its first byte
  };

  // Source bytes from `address` on that equal the end bytes from d on.
  std::int64_t forward(std::uint64_t address, std::int64_t d) {
    const std::int64_t most = std::min(S_ - static_cast<std::int64_t>(address), end_ - d);
    std::int64_t n = 0;
    while (n < most) {
      std::int64_t after;
      std::int64_t before;
      const std::uint8_t* page = cache_.at(address + static_cast<std::uint64_t>(n), &after, &before);
      if (page == nullptr) failNumbered(kEngineReadFailed, in_.sourceName);
      const std::int64_t piece = std::min(after, most - n);
      const auto same = static_cast<std::int64_t>(commonLength(page, endAt(d + n), piece));
      n += same;
      if (same < piece) break;
    }
    return n;
  }

  // Source bytes before `address` that equal the end bytes before d, at
  // most `limit`.
  std::int64_t backward(std::uint64_t address, std::int64_t d, std::int64_t limit) {
    limit = std::min(limit, static_cast<std::int64_t>(address));
    std::int64_t n = 0;
    while (n < limit) {
      std::int64_t after;
      std::int64_t before;
      const std::uint8_t* page = cache_.at(address - static_cast<std::uint64_t>(n) - 1, &after, &before);
      if (page == nullptr) failNumbered(kEngineReadFailed, in_.sourceName);
      const std::int64_t piece = std::min(before + 1, limit - n);
      const std::uint8_t* out = endAt(d - n - 1);
      std::int64_t i = 0;
      while (i < piece && page[-i] == out[-i]) ++i;
      n += i;
      if (i < piece) break;
    }
    return n;
  }

  // The best match that covers end position d and starts no earlier than
  // the pending insert: first the last copy's alignment, then the index
  // entries of the six bytes at d, d + 1, ... (up to five, fewer for
  // smaller blocks), each extended back to d at least.
  Match findBest(std::int64_t d) {
    Match best;
    std::int64_t bestGain = 0;
    const std::int64_t earliest = runStart_ < 0 ? d : runStart_;
    // A match through source `address` at end offset p, of which `known`
    // bytes from there on are known to agree.
    const auto weigh = [&](std::uint64_t address, std::int64_t p, std::int64_t known) {
      const std::int64_t back = backward(address, p, p - earliest);
      if (p - back > d) return;  // starts after d: found there
      const std::int64_t n = back + known + forward(address + static_cast<std::uint64_t>(known), p + known);
      if (n < static_cast<std::int64_t>(kMinimumCopy)) return;
      const std::uint64_t from = address - static_cast<std::uint64_t>(back);
      const std::int64_t gain =
          n - numberCost(static_cast<std::uint64_t>(n)) - numberCost(distance(from, lastCopyAddress_));
      if (gain > bestGain) {
        best = Match{p - back, n, from};
        bestGain = gain;
      }
    };
    if (aligned_) {
      const std::int64_t address = static_cast<std::int64_t>(alignedAddress_) + (d - alignedAt_);
      if (address >= 0 && address < S_) weigh(static_cast<std::uint64_t>(address), d, 0);
    }
    const std::int64_t phases = std::min<std::int64_t>(5, in_.blockSize);
    for (std::int64_t k = 0; k < phases && d + k + 6 <= end_; ++k) {
      const std::uint8_t* at = endAt(d + k);
      std::uint32_t count;
      const IndexEntry* bucket = index_.bucket(indexKey(at), &count);
      if (bucket == nullptr) continue;
      const std::uint32_t word = probeWord(at);
      const auto below = [](const IndexEntry& e, std::uint32_t w) { return e.word < w; };
      const IndexEntry* first = std::lower_bound(bucket, bucket + count, word, below);
      for (std::int64_t i = 0; i < kMostCandidates && first + i < bucket + count && first[i].word == word; ++i) {
        weigh(first[i].position, d + k, 6);
      }
    }
    return best;
  }

  void searchRange(std::int64_t start, const std::uint8_t* bytes, std::int64_t n) {
    start_ = start;
    end_ = start + n;
    bytes_ = bytes;
    runStart_ = -1;
    mergeable_ = false;
    std::int64_t d = start;
    while (d < end_) {
      const Match m = findBest(d);
      if (m.length == 0) {
        if (runStart_ < 0) runStart_ = d;
        ++d;
      } else {
        takeCopy(m.from, m.length, m.address);
        d = m.from + m.length;
      }
      progress_.to(d);
    }
    if (runStart_ >= 0) records_.append(-(end_ - runStart_), static_cast<std::uint32_t>(runStart_));
    runStart_ = -1;
  }

  // Appends the copy of n bytes from `a` at end offset d (ending the
  // pending insert there), or grows the copy just before it when it
  // continues that copy's source range.
  void takeCopy(std::int64_t d, std::int64_t n, std::uint64_t a) {
    aligned_ = true;
    alignedAddress_ = a + static_cast<std::uint64_t>(n);
    alignedAt_ = d + n;
    result_.copiedBytes += static_cast<std::uint64_t>(n);
    if (runStart_ >= 0 && runStart_ == d) runStart_ = -1;  // the copy took the whole pending run
    if (mergeable_ && runStart_ < 0) {
      Record& last = records_.back();
      if (last.at + static_cast<std::uint64_t>(last.n) == a) {
        last.n += n;
        return;
      }
    }
    if (runStart_ >= 0) {
      records_.append(-(d - runStart_), static_cast<std::uint32_t>(runStart_));
      runStart_ = -1;
    }
    records_.append(n, static_cast<std::uint32_t>(a));
    mergeable_ = true;
    lastCopyAddress_ = a;
    ++result_.copies;
  }

  const std::uint8_t* endAt(std::int64_t d) const { return bytes_ + (d - start_); }

  const MatchInput& in_;
  const SourceIndex& index_;
  Representation& records_;
  SearchProgress progress_;
  const std::int64_t S_;
  SourceCache cache_;
  const std::uint8_t* bytes_ = nullptr;  // the end bytes of the current range
  std::int64_t start_ = 0;
  std::int64_t end_ = 0;
  std::int64_t runStart_ = -1;
  bool mergeable_ = false;  // the last record appended in this range is a copy
  std::uint64_t lastCopyAddress_ = 0;
  bool aligned_ = false;  // a copy was taken: where its alignment goes on
  std::uint64_t alignedAddress_ = 0;
  std::int64_t alignedAt_ = 0;
  MatchResult result_;
};

}  // namespace

MatchResult runBlockSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host) {
  auto walker = std::make_unique<BlockWalker>(input, index, records, host);
  return walker->run();
}

}  // namespace diffengine
