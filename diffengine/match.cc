#include "diffengine/match.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "diffengine/block_search.h"
#include "diffengine/group_order.h"
#include "diffengine/segmented_walk.h"
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

constexpr std::int64_t kSelfReferenceGap = 5;  // copied bytes end this far before their output

// The group of equal words an ordered candidate came from.
struct GroupPlace {
  const IndexEntry* group = nullptr;
  std::int64_t size = 0;
  std::int64_t found = 0;  // where the binary search met the group
};

using RecordOutput = ItemOutput<Record>;

class Walker {
 public:
  // `shared`: group orders made once for walks on several threads.
  Walker(const MatchInput& in, const SourceIndex& index, GroupOrders::Shared* shared = nullptr)
      : in_(in), index_(index), S_(static_cast<std::int64_t>(in.sourceSize)),
        orders_(in.memory, S_, static_cast<std::int64_t>(in.sourceSize + (in.strategy == 1 ? in.endSize : 0)),
                shared) {}

  // The whole walk on this thread.
  MatchResult run(RecordOutput& records, EngineHost& host) {
    out_ = &records;
    SearchProgress progress(in_.endSize, host);
    const auto report = [&progress](std::int64_t d) { progress.to(d); };
    OneThreadWatch<decltype(report)> watch{report};
    const auto search = [&](std::int64_t start, std::int64_t end) {
      setRange(start, end);
      walk(start, end, watch);
      endRange(end);
    };
    if (in_.strategy == 1) {
      endBase_ = in_.memory + in_.sourceSize;
      search(0, static_cast<std::int64_t>(in_.endSize));
    } else {
      result_.endChecksum = streamEndFile(in_, [&](std::int64_t start, const std::uint8_t* bytes, std::int64_t n) {
        endBase_ = bytes;
        search(start, start + n);
      });
    }
    progress.finish();
    return result_;
  }

  // As a walk of a segment of the end file held in memory (strategy 1):
  // the guessed state is a last copy from address 0.
  using Item = Record;
  void start(std::int64_t, RecordOutput& out) {
    out_ = &out;
    endBase_ = in_.memory + in_.sourceSize;
    setRange(0, static_cast<std::int64_t>(in_.endSize));
    lastCopyAddress_ = 0;
  }
  void finish(std::int64_t end) { endRange(end); }
  std::uint64_t count() const { return result_.cappedSearches; }

  // Decides at end offsets from d on while d < until. After each copy
  // (taken at `at`) watch.stepped(at, n, address) may end the walk;
  // watch.passed(d) hears of each offset reached. Returns where the walk
  // stopped.
  template <class Watch>
  std::int64_t walk(std::int64_t d, std::int64_t until, Watch& watch) {
    while (d < until) {
      Candidate best{0, 0, 0, 0, {}};
      if (d < rangeEnd_ - static_cast<std::int64_t>(kMinimumCopy)) best = findBest(d);
      if (best.length == 0) {
        if (runStart_ < 0) runStart_ = d;
        ++d;
      } else {
        const std::int64_t at = d;
        takeCopy(d, best.length, best.address);
        d += best.length;
        if (watch.stepped(at, best.length, static_cast<std::int64_t>(best.address))) {
          watch.passed(d);
          return d;
        }
      }
      watch.passed(d);
    }
    return d;
  }

  // Ends the range: the insert pending there goes out.
  void endRange(std::int64_t end) {
    if (runStart_ >= 0) out_->append(Record{-(end - runStart_), static_cast<std::uint32_t>(runStart_)});
    runStart_ = -1;
  }

 private:
  struct Candidate {
    std::int64_t length;
    std::int64_t cost;
    std::uint64_t address;
    std::uint64_t rank = 0;  // place in the plain order of weighing: phase, then bucket order
    // A candidate of an ordered group leaves its place in the group to be
    // looked up when it decides a complete tie.
    static constexpr std::uint64_t kRankUnknown = 0xFFFFFFFFu;
    GroupPlace place;
  };

  // The candidate's place in the plain order of weighing.
  static std::uint64_t rankOf(const Candidate& c) {
    if ((c.rank & Candidate::kRankUnknown) != Candidate::kRankUnknown) return c.rank;
    const std::uint64_t k = c.rank >> 32;
    const std::uint64_t s = c.address + k;
    const GroupPlace& p = c.place;
    std::int64_t i = 0;
    while (i < p.size && p.group[i].position != s) ++i;
    return k << 32 | static_cast<std::uint64_t>(i < p.found ? p.found - 1 - i : i);
  }

  const std::uint8_t* endAt(std::int64_t d) const { return endBase_ + (d - rangeStart_); }

  // Weighs entry s (six bytes equal to those at d + k) as a copy from s - k.
  // `endRun` >= 0: the end bytes after the six are that many of one byte
  // value, and so are at least 256 of the entry's.
  void evaluate(std::int64_t d, int k, std::int64_t s, Candidate& best, std::uint64_t rank = 0,
                const GroupPlace& place = GroupPlace(), std::int64_t endRun = -1) {
    const std::uint8_t* src = in_.memory + s;
    const std::uint8_t* out = endAt(d);
    for (int j = 1; j <= k; ++j) {
      if (src[-j] != out[k - j]) return;
    }
    const std::int64_t reach = room(d, k, s);
    std::int64_t n = 0;
    if (endRun >= 0) {
      // Both runs agree as far as the shorter goes; past it only when they
      // end together.
      const std::int64_t sourceRun = runLength(src + 6, reach, true);
      n = std::min({sourceRun, endRun, reach});
      if (sourceRun == endRun && n < reach) {
        n += static_cast<std::int64_t>(commonLength(src + 6 + n, out + k + 6 + n, reach - n));
      }
    } else {
      n = static_cast<std::int64_t>(commonLength(src + 6, out + k + 6, reach));
    }
    consider(k, s, 6 + k + n, best, rank, place);
  }

  // Bytes from p on equal to *p, at most `limit`: from the table of long
  // runs when p lies in memory (`inMemory`), else counted.
  std::int64_t runLength(const std::uint8_t* p, std::int64_t limit, bool inMemory) {
    if (inMemory) {
      if (!runsFound_) findRuns();
      const auto at = static_cast<std::uint64_t>(p - in_.memory);
      // The last run starting at or before p.
      const auto it =
          std::upper_bound(runs_.begin(), runs_.end(), at, [](std::uint64_t a, const Run& r) { return a < r.start; });
      if (it != runs_.begin() && (it - 1)->end > at) {
        return std::min<std::int64_t>(limit, static_cast<std::int64_t>((it - 1)->end - at));
      }
    }
    std::int64_t n = 0;
    while (n < limit && p[n] == p[0]) ++n;
    return n;
  }

  // Every run of one byte value of at least kSpan bytes in memory.
  void findRuns() {
    runsFound_ = true;
    const std::uint8_t* m = in_.memory;
    const std::uint64_t size = in_.sourceSize + (in_.strategy == 1 ? in_.endSize : 0);
    std::uint64_t i = 0;
    while (i < size) {
      std::uint64_t j = i + 1;
      while (j < size && m[j] == m[i]) ++j;
      if (j - i >= static_cast<std::uint64_t>(GroupOrders::kSpan)) runs_.push_back(Run{i, j});
      i = j;
    }
  }

  // Strategies 1 and 2: how far entry s may extend in phase k at d.
  std::int64_t room(std::int64_t d, int k, std::int64_t s) const {
    const std::int64_t bound = s + 6 < S_ ? S_ : S_ + d - kSelfReferenceGap;
    return std::min(bound - (s + 6), rangeEnd_ - (d + k + 6));
  }

  // A copy of n bytes from entry s - k, against the best so far.
  void consider(int k, std::int64_t s, std::int64_t n, Candidate& best, std::uint64_t rank,
                const GroupPlace& place) {
    if (n < kMinimumCopy) return;
    const auto a = static_cast<std::uint64_t>(s - k);
    const std::uint64_t dist = distance(a, lastCopyAddress_);
    const std::int64_t cost = numberCost(static_cast<std::uint64_t>(n)) + numberCost(dist);
    const std::int64_t gain = n - cost;
    const std::int64_t bestGain = best.length - best.cost;
    const Candidate candidate{n, cost, a, rank, place};
    if (gain > bestGain) {
      best = candidate;
    } else if (gain == bestGain) {
      // Candidates visited out of the plain order: a complete tie still
      // goes to the one the plain order would have weighed first.
      const std::uint64_t bestDist = distance(best.address, lastCopyAddress_);
      if (dist < bestDist || (dist == bestDist && rankOf(candidate) < rankOf(best))) best = candidate;
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

  // Asks the memory for the first levels of the binary search of the group
  // at end offset p, a few searches before it runs: most of a search's time
  // is waiting for the bucket entries it halves its way through.
  void prefetchGroup(std::int64_t p) const {
    if (p + 6 > rangeEnd_) return;
    std::uint32_t count;
    const IndexEntry* bucket = index_.bucket(indexKey(endAt(p)), &count);
    if (bucket != nullptr) prefetchLevels(bucket, 0, static_cast<std::int64_t>(count) - 1, kPrefetchedLevels);
  }
  static void prefetchLevels(const IndexEntry* bucket, std::int64_t lo, std::int64_t hi, int levels) {
    if (lo > hi || levels == 0) return;
    const std::int64_t mid = (lo + hi) / 2;
#if defined(__GNUC__)
    __builtin_prefetch(bucket + mid);
#endif
    prefetchLevels(bucket, lo, mid - 1, levels - 1);
    prefetchLevels(bucket, mid + 1, hi, levels - 1);
  }
  static constexpr int kPrefetchedLevels = 3;
  static constexpr std::int64_t kPrefetchAhead = 8;  // end offsets after the one searched

  Candidate findBest(std::int64_t d) {
    prefetchGroup(d + kPrefetchAhead);
    Candidate best{0, 1000000, 0, 0, {}};
    for (int k = 0; k < 5; ++k) {
      const Group& g = groupAt(d + k);
      if (g.size >= kOrderedFrom && !in_.weighEveryEntry && searchGroup(d, k, g.entries, g.size, g.found, best)) {
        continue;
      }
      // Equal words lie together; the order in which they are weighed
      // decides between candidates of equal gain.
      std::uint64_t rank = static_cast<std::uint64_t>(k) << 32;
      for (std::int64_t i = g.found - 1; i >= 0; --i) evaluate(d, k, g.entries[i].position, best, rank++);
      for (std::int64_t i = g.found; i < g.size; ++i) evaluate(d, k, g.entries[i].position, best, rank++);
    }
    return best;
  }

  // The index entries whose six bytes equal those at end offset p: one
  // group of equal words, and the place in it the binary search finds.
  struct Group {
    std::int64_t at = -1;  // end offset
    const IndexEntry* entries = nullptr;
    std::int64_t size = 0;
    std::int64_t found = 0;
  };

  // Position d + k of one search is position
  // d + 1 + (k - 1) of the next, so the last few groups are kept.
  const Group& groupAt(std::int64_t p) {
    Group& g = groups_[static_cast<std::size_t>(p) % std::size(groups_)];
    if (g.at == p) return g;
    g = Group{p, nullptr, 0, 0};
    const std::uint8_t* at = endAt(p);
    std::uint32_t count;
    const IndexEntry* bucket = index_.bucket(indexKey(at), &count);
    if (bucket == nullptr) return g;
    const std::uint32_t word = probeWord(at);
    const std::int64_t found = binarySearch(bucket, count, word);
    if (found < 0) return g;
    const auto below = [](const IndexEntry& e, std::uint32_t w) { return e.word < w; };
    const auto above = [](std::uint32_t w, const IndexEntry& e) { return w < e.word; };
    const std::int64_t lo = std::lower_bound(bucket, bucket + found, word, below) - bucket;
    const std::int64_t hi = std::upper_bound(bucket + found, bucket + count, word, above) - bucket;
    g.entries = bucket + lo;
    g.size = hi - lo;
    g.found = found - lo;
    return g;
  }

  // Groups of equal words from this size on are searched in order of their
  // bytes (strategies 1 and 2).
  static constexpr std::int64_t kOrderedFrom = 64;
  // Entries in runs are weighed in a few steps each (the runs' ends are
  // looked up): many more of them are weighed before a search is cut short.
  static constexpr std::int64_t kMostInRuns = std::int64_t{1} << 21;

  // Weighs the `size` entries of `group` (one word; the binary search found
  // place `found`) in phase k, skipping those that cannot matter. Ranks
  // keep the plain order's choice between complete ties, so the result is
  // the one weighing every entry gives (unless the group was cut short).
  // False when the group is not ordered yet (nothing was weighed).
  bool searchGroup(std::int64_t d, int k, const IndexEntry* group, std::int64_t size, std::int64_t found,
                   Candidate& best) {
    struct Weigher : GroupOrders::Visitor {
      Walker& w;
      std::int64_t d;
      int k;
      const IndexEntry* group;
      std::int64_t size;
      std::int64_t found;
      Candidate& best;
      std::int64_t run = -1;  // the end bytes after the six: one byte repeated this long, or -1
      Weigher(Walker& walker, std::int64_t at, int phase, const IndexEntry* g, std::int64_t n, std::int64_t f,
              Candidate& b)
          : w(walker), d(at), k(phase), group(g), size(n), found(f), best(b) {}
      bool worth(std::int64_t agreed) override {
        const std::int64_t most = 6 + k + agreed;
        return most >= static_cast<std::int64_t>(kMinimumCopy) && most - 2 >= best.length - best.cost;
      }
      void weigh(std::uint32_t position, std::int64_t agreed) override {
        const std::int64_t s = position;
        // The place in the group, which decides complete ties, is looked
        // up only for one.
        const GroupPlace place{group, size, found};
        const std::uint64_t rank = static_cast<std::uint64_t>(k) << 32 | Candidate::kRankUnknown;
        if (agreed < GroupOrders::kSpan) {
          // The length is known: the tails differ after `agreed` bytes.
          w.consider(k, s, 6 + k + std::min(agreed, w.room(d, k, s)), best, rank, place);
        } else {
          w.evaluate(d, k, s, best, rank, place, run);
        }
      }
    } weigher(*this, d, k, group, size, found, best);
    GroupOrders::Query q;
    q.k = k;
    q.before = endAt(d);
    q.tail = endAt(d) + k + 6;
    q.tailLength = std::min(GroupOrders::kSpan, rangeEnd_ - (d + k + 6));
    q.near = static_cast<std::int64_t>(lastCopyAddress_) + k;
    // Entries that agree over the whole span with a run of one byte value
    // lie in such runs too: their lengths come from the runs' ends.
    if (q.tailLength == GroupOrders::kSpan && std::all_of(q.tail, q.tail + q.tailLength, [&](std::uint8_t b) {
          return b == q.tail[0];
        })) {
      weigher.run = runLength(q.tail, rangeEnd_ - (d + k + 6), in_.strategy == 1);
      q.mostUnbounded = kMostInRuns;
    }
    const GroupOrders::Searched searched = orders_.search(group, size, q, weigher);
    if (searched == GroupOrders::Searched::kCapped) ++result_.cappedSearches;
    return searched != GroupOrders::Searched::kNotYet;
  }

  void flushRun(std::int64_t d) {
    if (runStart_ < 0) return;
    out_->append(Record{-(d - runStart_), static_cast<std::uint32_t>(runStart_)});
    runStart_ = -1;
  }

  void takeCopy(std::int64_t d, std::int64_t n, std::uint64_t a) {
    flushRun(d);
    out_->append(Record{n, static_cast<std::uint32_t>(a)});
    lastCopyAddress_ = a;
    ++result_.copies;
    result_.copiedBytes += static_cast<std::uint64_t>(n);
  }

  void setRange(std::int64_t start, std::int64_t end) {
    rangeStart_ = start;
    rangeEnd_ = end;
    runStart_ = -1;
  }

  const MatchInput& in_;
  const SourceIndex& index_;
  RecordOutput* out_ = nullptr;
  const std::int64_t S_;
  const std::uint8_t* endBase_ = nullptr;  // the end bytes of the current range
  std::int64_t rangeStart_ = 0;
  std::int64_t rangeEnd_ = 0;
  std::int64_t runStart_ = -1;
  std::uint64_t lastCopyAddress_ = 0;
  MatchResult result_;
  GroupOrders orders_;
  Group groups_[8];
  struct Run {
    std::uint64_t start;
    std::uint64_t end;
  };
  std::vector<Run> runs_;  // found on first need
  bool runsFound_ = false;
};

}  // namespace

SearchProgress::SearchProgress(std::uint64_t endSize, EngineHost& host) : host_(host) {
  for (int i = 0; i <= 100; ++i) threshold_[i] = endSize * static_cast<std::uint64_t>(i) / 100;
}

void SearchProgress::to(std::int64_t d) {
  const int before = percent_;
  while (percent_ < 100 && static_cast<std::int64_t>(threshold_[percent_ + 1]) < d) ++percent_;
  if (percent_ != before) host_.progress(1, percent_);
}

std::uint32_t streamEndFile(const MatchInput& in,
                            const std::function<void(std::int64_t start, const std::uint8_t* bytes, std::int64_t n)>& search) {
  std::uint32_t crc = patchformat::kCrcStart;
  if (!in.endFile->seek(0)) failNumbered(kEngineReadFailed, in.endName);
  std::uint64_t c = 0;
  while (c < in.endSize) {
    const std::size_t want = static_cast<std::size_t>(in.endSize - c < kEndChunk ? in.endSize - c : kEndChunk);
    if (!in.endFile->readFully(in.chunkBuffer, want)) failNumbered(kEngineReadFailed, in.endName);
    search(static_cast<std::int64_t>(c), in.chunkBuffer, static_cast<std::int64_t>(want));
    crc = patchformat::crc32_noinv(crc, in.chunkBuffer, want);
    c += want;
  }
  return crc;
}

namespace {

// Records into the step's representation.
class IntoRepresentation : public RecordOutput {
 public:
  explicit IntoRepresentation(Representation& records) : records_(records) {}
  void append(const Record& r) override { records_.append(r.n, r.at); }

 private:
  Representation& records_;
};

}  // namespace

MatchResult runMatchSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host) {
  if (input.strategy == 3) return runBlockSearch(input, index, records, host);
  if (input.strategy == 1) {
    const auto T = static_cast<std::int64_t>(input.endSize);
    const std::int64_t segment = segmentBytesFor(T, input.threads, input.segmentBytes);
    if (segment > 0) {
      SearchProgress progress(input.endSize, host);
      GroupOrders::Shared orders;
      SegmentedWalk<Walker> walk(T, segment, [&progress](std::int64_t walked) { progress.to(walked); });
      const auto found =
          walk.run(input.threads, [&] { return std::make_unique<Walker>(input, index, &orders); });
      progress.finish();
      MatchResult result;
      result.cappedSearches = found.count;
      for (const Record& r : found.items) {
        records.append(r.n, r.at);
        if (r.n > 0) {
          ++result.copies;
          result.copiedBytes += static_cast<std::uint64_t>(r.n);
        }
      }
      return result;
    }
  }
  IntoRepresentation into(records);
  return std::make_unique<Walker>(input, index)->run(into, host);
}

}  // namespace diffengine
