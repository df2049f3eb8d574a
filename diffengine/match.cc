#include "diffengine/match.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "patchformat/crc.h"

namespace diffengine {

std::size_t commonLength(const std::uint8_t* a, const std::uint8_t* b, std::int64_t limit) {
  if (limit <= 0) return 0;
  const auto n = static_cast<std::size_t>(limit);
  std::size_t i = 0;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Eight bytes at a time; the lowest differing bit names the first
  // differing byte on a little-endian machine.
  while (i + 8 <= n) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<std::size_t>(__builtin_ctzll(x ^ y) >> 3);
    i += 8;
  }
#endif
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

namespace {

constexpr std::int64_t kWindowBefore = 4;      // strategy 3 reads from 4 bytes before an entry
constexpr std::int64_t kWindowLength = 512;
constexpr std::int64_t kSelfReferenceGap = 5;  // copied bytes end this far before their output

std::int64_t numberCost(std::uint64_t x) { return x < 256 ? 1 : x < 65536 ? 4 : 8; }

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

// Strategy 3 reads every candidate's window from the source file; the
// candidates of one bucket lie all over it, so the file is kept in 4 KiB
// pages, each in a fixed slot (page number modulo the slot count). Sources
// up to 16 MiB fit whole unless the caller sets a smaller limit.
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

  // n <= kPage bytes at `start` (within the file); null on a read error.
  // With at least two slots, reading the second page never replaces the
  // first.
  const std::uint8_t* bytes(std::uint64_t start, std::uint64_t n) {
    const std::uint64_t first = start / kPage;
    const std::uint8_t* a = page(first);
    if (a == nullptr) return nullptr;
    const std::uint64_t offset = start % kPage;
    if (offset + n <= kPage) return a + offset;
    const std::uint8_t* b = page(first + 1);
    if (b == nullptr) return nullptr;
    std::memcpy(scratch_, a + offset, static_cast<std::size_t>(kPage - offset));
    std::memcpy(scratch_ + (kPage - offset), b, static_cast<std::size_t>(n - (kPage - offset)));
    return scratch_;
  }

 private:
  const std::uint8_t* page(std::uint64_t number) {
    const std::uint64_t slot = number % slots_;
    std::uint8_t* at = pages_.data() + slot * kPage;
    if (tags_[slot] == number + 1) return at;
    const std::uint64_t offset = number * kPage;
    tags_[slot] = 0;
    if (!file_->readAt(offset, at, static_cast<std::size_t>(std::min(kPage, size_ - offset)))) return nullptr;
    tags_[slot] = number + 1;
    return at;
  }

  platform::File* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t slots_ = 2;
  std::vector<std::uint8_t> pages_;
  std::vector<std::uint64_t> tags_;  // page number + 1 held by each slot, 0 for none
  std::uint8_t scratch_[kPage];
};

class Walker {
 public:
  Walker(const MatchInput& in, const SourceIndex& index, Representation& records, EngineHost& host)
      : in_(in), index_(index), records_(records), host_(host), S_(static_cast<std::int64_t>(in.sourceSize)) {
    for (int i = 0; i <= 100; ++i) threshold_[i] = in.endSize * static_cast<std::uint64_t>(i) / 100;
    if (in.strategy == 3) cache_.setUp(in.sourceFile, in.sourceSize, in.cacheLimit);
  }

  MatchResult run() {
    if (in_.strategy == 1) {
      endBase_ = in_.memory + in_.sourceSize;
      searchRange(0, static_cast<std::int64_t>(in_.endSize));
    } else {
      std::uint32_t crc = patchformat::kCrcStart;
      if (!in_.endFile->seek(0)) failNumbered(kEngineReadFailed, in_.endName);
      std::uint64_t c = 0;
      while (c < in_.endSize) {
        const std::size_t want = static_cast<std::size_t>(
            in_.endSize - c < kEndChunk ? in_.endSize - c : kEndChunk);
        if (!in_.endFile->readFully(in_.chunkBuffer, want)) failNumbered(kEngineReadFailed, in_.endName);
        endBase_ = in_.chunkBuffer;
        searchRange(static_cast<std::int64_t>(c), static_cast<std::int64_t>(c + want));
        crc = patchformat::crc32_noinv(crc, in_.chunkBuffer, want);
        c += want;
      }
      result_.endChecksum = crc;
    }
    host_.progress(1, 100);
    return result_;
  }

 private:
  struct Candidate {
    std::int64_t length;
    std::int64_t cost;
    std::uint64_t address;
  };


  // Strategy 3: the source bytes [start, start + length), cut at the
  // source end.
  const std::uint8_t* sourceBytes(std::uint64_t start, std::int64_t* length) {
    std::uint64_t stop = start + static_cast<std::uint64_t>(kWindowLength);
    if (stop > in_.sourceSize) stop = in_.sourceSize;
    *length = static_cast<std::int64_t>(stop - start);
    const std::uint8_t* bytes = cache_.bytes(start, stop - start);
    if (bytes == nullptr) failNumbered(kEngineReadFailed, in_.sourceName);
    return bytes;
  }

  const std::uint8_t* endAt(std::int64_t d) const { return endBase_ + (d - rangeStart_); }

  // Weighs entry s (six bytes equal to those at d + k) as a copy from s - k.
  void evaluate(std::int64_t d, int k, std::int64_t s, Candidate& best) {
    const auto a = static_cast<std::uint64_t>(s - k);
    const std::uint64_t dist = distance(a, lastCopyAddress_);
    const std::int64_t bestGain = best.length - best.cost;
    const std::uint8_t* src;
    std::int64_t bound;  // first address the extension may not reach
    if (in_.strategy == 3) {
      const std::int64_t windowStart = s - kWindowBefore;
      bound = windowStart + std::min(kWindowLength, S_ - windowStart);
      // Reading the window costs a file access: skip candidates that could
      // not beat the best even if they ran to the end of their window (in
      // long runs of one byte value a bucket holds thousands of those).
      const std::int64_t longest =
          6 + k + std::max<std::int64_t>(0, std::min(bound - (s + 6), rangeEnd_ - (d + k + 6)));
      if (longest < kMinimumCopy) return;
      const std::int64_t most = (longest < 256 ? longest - 1 : std::max<std::int64_t>(254, longest - 4)) -
                                numberCost(dist);
      if (most < bestGain || (most == bestGain && dist >= distance(best.address, lastCopyAddress_))) return;
      std::int64_t length;
      src = sourceBytes(static_cast<std::uint64_t>(windowStart), &length) + kWindowBefore;
    } else {
      src = in_.memory + s;
      bound = s + 6 < S_ ? S_ : S_ + d - kSelfReferenceGap;
    }
    const std::uint8_t* out = endAt(d);
    for (int j = 1; j <= k; ++j) {
      if (src[-j] != out[k - j]) return;
    }
    const std::int64_t room = std::min(bound - (s + 6), rangeEnd_ - (d + k + 6));
    const std::int64_t n = 6 + k + static_cast<std::int64_t>(commonLength(src + 6, out + k + 6, room));
    if (n < kMinimumCopy) return;
    const std::int64_t cost = numberCost(static_cast<std::uint64_t>(n)) + numberCost(dist);
    const std::int64_t gain = n - cost;
    if (gain > bestGain || (gain == bestGain && dist < distance(best.address, lastCopyAddress_))) {
      best = Candidate{n, cost, a};
    }
  }

  // The entry of `bucket` whose word is `word`, or -1.
  std::int64_t binarySearch(const IndexEntry* bucket, std::uint32_t count, std::uint32_t word) const {
    std::int64_t lo = 0;
    std::int64_t hi = static_cast<std::int64_t>(count) - 1;
    if (in_.strategy == 1) {
      while (lo <= hi) {
        const std::int64_t mid = (lo + hi) / 2;
        if (bucket[mid].word == word) return mid;
        if (bucket[mid].word < word) {
          lo = mid + 1;
        } else {
          hi = mid - 1;
        }
      }
      return -1;
    }
    std::int64_t previous = -1;
    while (lo <= hi) {
      const std::int64_t mid = (lo + hi) / 2;
      if (mid == previous) return -1;
      previous = mid;
      if (bucket[mid].word == word) return mid;
      if (bucket[mid].word < word) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return -1;
  }

  Candidate findBest(std::int64_t d) {
    Candidate best{0, 1000000, 0};
    for (int k = 0; k < 5; ++k) {
      const std::uint8_t* at = endAt(d + k);
      std::uint32_t count;
      const IndexEntry* bucket = index_.bucket(indexKey(at), &count);
      if (bucket == nullptr) continue;
      const std::uint32_t word = probeWord(at);
      const std::int64_t found = binarySearch(bucket, count, word);
      if (found < 0) continue;
      // Equal words lie together; the order in which they are weighed
      // decides between candidates of equal gain.
      std::int64_t up = found;
      std::int64_t down = found - 1;
      if (in_.strategy == 3) {
        for (; up < count && bucket[up].word == word; ++up) evaluate(d, k, bucket[up].position, best);
        for (; down >= 0 && bucket[down].word == word; --down) evaluate(d, k, bucket[down].position, best);
      } else {
        for (; down >= 0 && bucket[down].word == word; --down) evaluate(d, k, bucket[down].position, best);
        for (; up < count && bucket[up].word == word; ++up) evaluate(d, k, bucket[up].position, best);
      }
    }
    return best;
  }

  void progressTo(std::int64_t d) {
    const int before = percent_;
    while (percent_ < 100 && static_cast<std::int64_t>(threshold_[percent_ + 1]) < d) ++percent_;
    if (percent_ != before) host_.progress(1, percent_);
  }

  void flushRun(std::int64_t d) {
    if (runStart_ < 0) return;
    records_.append(-(d - runStart_), static_cast<std::uint32_t>(runStart_));
    runStart_ = -1;
    mergeable_ = false;
  }

  // Appends the copy, or under strategy 3 grows the copy just before it
  // when it continues that copy's source range.
  void takeCopy(std::int64_t d, std::int64_t n, std::uint64_t a) {
    if (in_.strategy == 3 && mergeable_ && runStart_ < 0) {
      Record& last = records_.back();
      if (last.at + static_cast<std::uint64_t>(last.n) == a) {
        last.n += n;
        result_.copiedBytes += static_cast<std::uint64_t>(n);
        return;
      }
    }
    flushRun(d);
    records_.append(n, static_cast<std::uint32_t>(a));
    mergeable_ = true;
    lastCopyAddress_ = a;
    ++result_.copies;
    result_.copiedBytes += static_cast<std::uint64_t>(n);
  }

  // Strategy 3: after a long candidate, follows the same source range in
  // pieces of one 512-byte window while the next 12 bytes still match.
  void continueCopy(std::int64_t& d, std::int64_t n, std::uint64_t a) {
    while (d < rangeEnd_ - static_cast<std::int64_t>(kMinimumCopy)) {
      const std::uint64_t s = a + static_cast<std::uint64_t>(n);
      std::int64_t length;
      const std::uint8_t* window = sourceBytes(s - kWindowBefore, &length);
      if (length < kWindowBefore + static_cast<std::int64_t>(kMinimumCopy) ||
          std::memcmp(window + kWindowBefore, endAt(d), kMinimumCopy) != 0) {
        return;
      }
      Candidate best{0, 0, 0};
      evaluate(d, 0, static_cast<std::int64_t>(s), best);
      if (best.length == 0) return;
      takeCopy(d, best.length, best.address);
      d += best.length;
      progressTo(d);
      if (best.length != kWindowLength - kWindowBefore) return;
      n = best.length;
      a = best.address;
    }
  }

  void searchRange(std::int64_t start, std::int64_t end) {
    rangeStart_ = start;
    rangeEnd_ = end;
    runStart_ = -1;
    mergeable_ = false;
    std::int64_t d = start;
    while (d < end) {
      Candidate best{0, 0, 0};
      if (d < end - static_cast<std::int64_t>(kMinimumCopy)) best = findBest(d);
      if (best.length == 0) {
        if (runStart_ < 0) runStart_ = d;
        d += in_.strategy == 3 ? skipStep(d - runStart_) : 1;
      } else {
        takeCopy(d, best.length, best.address);
        d += best.length;
        if (in_.strategy == 3 && best.length > 500) {
          progressTo(d);
          continueCopy(d, best.length, best.address);
        }
      }
      progressTo(d);
    }
    if (runStart_ >= 0) records_.append(-(end - runStart_), static_cast<std::uint32_t>(runStart_));
    runStart_ = -1;
  }

  // Strategy 3 searches ever fewer positions the longer an insert grows.
  static std::int64_t skipStep(std::int64_t run) { return run < 20 ? 1 : run < 50 ? 3 : run < 200 ? 10 : 50; }

  const MatchInput& in_;
  const SourceIndex& index_;
  Representation& records_;
  EngineHost& host_;
  const std::int64_t S_;
  const std::uint8_t* endBase_ = nullptr;  // the end bytes of the current range
  std::int64_t rangeStart_ = 0;
  std::int64_t rangeEnd_ = 0;
  std::int64_t runStart_ = -1;
  bool mergeable_ = false;  // the last record appended in this range is a copy
  std::uint64_t lastCopyAddress_ = 0;
  std::uint64_t threshold_[101];
  int percent_ = 0;
  MatchResult result_;
  SourceCache cache_;
};

}  // namespace

MatchResult runMatchSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host) {
  auto walker = std::make_unique<Walker>(input, index, records, host);
  return walker->run();
}

}  // namespace diffengine
