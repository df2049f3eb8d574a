#include "diffengine/match.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "diffengine/block_search.h"
#include "diffengine/group_order.h"
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

// Where a walk's records go.
class RecordOutput {
 public:
  virtual void append(std::int64_t n, std::uint32_t at) = 0;

 protected:
  ~RecordOutput() = default;
};

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
    struct Watch {
      SearchProgress& progress;
      bool copied(std::int64_t, std::int64_t, std::uint64_t) { return false; }
      void passed(std::int64_t d) { progress.to(d); }
    } watch{progress};
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

  // Starts a walk of part of the end file held in memory (strategy 1),
  // as if the last copy had come from `lastCopy`; records go to `out`.
  void startInMemory(std::uint64_t lastCopy, RecordOutput& out) {
    out_ = &out;
    endBase_ = in_.memory + in_.sourceSize;
    setRange(0, static_cast<std::int64_t>(in_.endSize));
    lastCopyAddress_ = lastCopy;
  }

  // Decides at end offsets from d on while d < until. After each copy
  // (taken at `at`) watch.copied(at, n, address) may end the walk; watch.passed(d)
  // hears of each offset reached. Returns where the walk stopped.
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
        if (watch.copied(at, best.length, best.address)) {
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
    if (runStart_ >= 0) out_->append(-(end - runStart_), static_cast<std::uint32_t>(runStart_));
    runStart_ = -1;
  }

  std::uint64_t cappedSearches() const { return result_.cappedSearches; }

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
    out_->append(-(d - runStart_), static_cast<std::uint32_t>(runStart_));
    runStart_ = -1;
  }

  void takeCopy(std::int64_t d, std::int64_t n, std::uint64_t a) {
    flushRun(d);
    out_->append(n, static_cast<std::uint32_t>(a));
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
  void append(std::int64_t n, std::uint32_t at) override { records_.append(n, at); }

 private:
  Representation& records_;
};

// The walk of an end file held in memory on several threads, with the
// records of a walk on one.
//
// A walk's decision at an offset depends on that offset and on the address
// of the last copy alone. So the end file is cut into segments, and each
// is walked from its start as if the last copy had come from address 0.
// Only the first segment's guess is the truth; the others' walks are
// right from the first copy they share with the true walk. A walk that
// reaches its segment's end goes on into the next segment until it takes
// a copy that the next segment's walk took too (the same offset, length and
// address): from there on both walks are one, and the records continue
// with the next segment's. A walk that reaches the end of its segment
// while the next one has not been started takes that segment over.
class ParallelWalk {
 public:
  ParallelWalk(const MatchInput& in, const SourceIndex& index, EngineHost& host, std::int64_t segmentBytes)
      : in_(in), index_(index), T_(static_cast<std::int64_t>(in.endSize)), progress_(in.endSize, host) {
    for (std::int64_t start = 0; start < T_; start += segmentBytes) {
      segments_.emplace_back();
      segments_.back().start = start;
      segments_.back().end = std::min(T_, start + segmentBytes);
    }
  }

  MatchResult run(Representation& records) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < in_.threads; ++t) {
      try {
        helpers.emplace_back([this] { work(false); });
      } catch (const std::system_error&) {
        break;  // no thread to be had: the ones started do the work
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      active_ += static_cast<int>(helpers.size()) + 1;
    }
    work(true);
    {
      // Helpers finish their last segments; the progress goes on.
      std::unique_lock<std::mutex> lock(mutex_);
      while (active_ > 0) {
        changed_.wait_for(lock, kReportEvery);
        if (failure_ != nullptr) continue;
        try {
          progress_.to(walked_.load());
        } catch (...) {
          failure_ = std::current_exception();
          stop_ = true;
        }
      }
    }
    for (std::thread& t : helpers) t.join();
    if (failure_ != nullptr) std::rethrow_exception(failure_);
    progress_.finish();
    return stitch(records);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::chrono::milliseconds kReportEvery{100};
  // End bytes between a walk's checks: its frontier published, its bytes
  // counted, another thread's failure heard of.
  static constexpr std::int64_t kCheckEvery = 1 << 16;

  struct Copy {
    std::int64_t d;
    std::int64_t n;
    std::uint64_t address;
    std::uint64_t records;  // the segment's records up to this copy
    std::uint64_t capped;   // the walker's capped searches up to this copy
  };

  struct Segment : RecordOutput {
    std::int64_t start = 0;
    std::int64_t end = 0;     // grows when the walk takes the next segment over
    bool claimed = false;     // guarded by mutex_
    std::vector<Record> records;  // written by its walk alone
    void append(std::int64_t n, std::uint32_t at) override { records.push_back(Record{n, at}); }
    // Guarded by mutex_: every copy of the walk that starts before
    // `frontier`; `finished` once the walk has stopped.
    std::vector<Copy> copies;
    std::int64_t frontier = 0;
    bool finished = false;
    // Once finished: the records that count, and the segment whose records
    // go on after copy `joinedCopy` (kNone: these reach the end file's end).
    std::uint64_t keep = 0;
    std::size_t joined = kNone;
    std::size_t joinedCopy = 0;
    std::uint64_t cappedStart = 0;
    std::uint64_t cappedEnd = 0;
  };

  struct Stopped {};  // another thread failed

  void work(bool reports) {
    try {
      const auto walker = std::make_unique<Walker>(in_, index_, &orders_);
      for (;;) {
        std::size_t i = 0;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          while (i < segments_.size() && segments_[i].claimed) ++i;
          if (i == segments_.size() || failure_ != nullptr) break;
          segments_[i].claimed = true;
        }
        walkSegment(*walker, i, reports);
      }
    } catch (const Stopped&) {
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure_ == nullptr) failure_ = std::current_exception();
      stop_ = true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --active_;
    changed_.notify_all();
  }

  // What a segment's walk does at each copy and offset.
  struct Watch {
    ParallelWalk& pw;
    Walker& walker;
    Segment& s;
    bool reports;
    std::int64_t counted;        // own end bytes counted into walked_
    std::int64_t checked;        // offset of the last periodic check
    std::size_t target = kNone;  // the trace sought beyond the own segment
    std::int64_t nextSegment;    // index of the segment after the own ones

    bool copied(std::int64_t at, std::int64_t n, std::uint64_t address) {
      std::unique_lock<std::mutex> lock(pw.mutex_);
      s.copies.push_back(Copy{at, n, address, s.records.size(), walker.cappedSearches()});
      s.frontier = at + n;
      pw.changed_.notify_all();
      if (target == kNone || at < pw.segments_[target].start) return false;
      std::size_t index = 0;
      const std::size_t found = pw.seek(lock, target, at, reports, &index);
      if (found == kNone) return false;
      const Copy& c = pw.segments_[found].copies[index];
      if (c.d != at || c.n != n || c.address != address) return false;
      s.keep = s.records.size();
      s.joined = found;
      s.joinedCopy = index;
      s.cappedEnd = walker.cappedSearches();
      s.finished = true;
      return true;
    }

    void passed(std::int64_t d) {
      if (d - checked < kCheckEvery) return;
      checked = d;
      count(d);
      if (pw.stop_.load(std::memory_order_relaxed)) throw Stopped{};
      std::lock_guard<std::mutex> lock(pw.mutex_);
      s.frontier = d;
      pw.changed_.notify_all();
      if (reports) pw.progress_.to(pw.walked_.load());
    }

    // Counts the own end bytes walked up to d.
    void count(std::int64_t d) {
      const std::int64_t upTo = std::min(d, s.end);
      if (upTo > counted) pw.walked_ += upTo - counted;
      counted = std::max(counted, upTo);
    }
  };

  void walkSegment(Walker& walker, std::size_t i, bool reports) {
    Segment& s = segments_[i];
    walker.startInMemory(0, s);
    s.cappedStart = walker.cappedSearches();
    Watch watch{*this, walker, s, reports, s.start, s.start, kNone, static_cast<std::int64_t>(i + 1)};
    std::int64_t d = s.start;
    for (;;) {
      d = walker.walk(d, s.end, watch);
      watch.count(d);
      if (d >= T_) break;
      std::lock_guard<std::mutex> lock(mutex_);
      Segment& next = segments_[static_cast<std::size_t>(watch.nextSegment)];
      if (next.claimed) {
        watch.target = static_cast<std::size_t>(watch.nextSegment);
        break;
      }
      // Nobody walks the next segment yet: it becomes part of this one.
      next.claimed = true;
      s.end = next.end;
      ++watch.nextSegment;
    }
    if (d < T_) d = walker.walk(d, T_, watch);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!s.finished) {
      // The walk reached the end file's end.
      walker.endRange(T_);
      s.keep = s.records.size();
      s.cappedEnd = walker.cappedSearches();
      s.finished = true;
    }
    s.frontier = std::max(s.frontier, d);
    changed_.notify_all();
  }

  // The copy at end offset `at` in the trace that goes on from segment
  // `target`'s, waiting for its walk to get there: its segment (kNone when
  // that walk took no copy at `at`) and place in *index.
  std::size_t seek(std::unique_lock<std::mutex>& lock, std::size_t target, std::int64_t at, bool reports,
                   std::size_t* index) {
    for (;;) {
      const Segment& t = segments_[target];
      if (at < t.frontier) {
        const auto it = std::lower_bound(t.copies.begin(), t.copies.end(), at,
                                         [](const Copy& c, std::int64_t d) { return c.d < d; });
        if (it == t.copies.end() || it->d != at) return kNone;
        *index = static_cast<std::size_t>(it - t.copies.begin());
        return target;
      }
      if (t.finished) {
        if (t.joined == kNone) return kNone;
        target = t.joined;  // that trace goes on in the one it joined
        continue;
      }
      if (stop_.load()) throw Stopped{};
      changed_.wait_for(lock, kReportEvery);
      if (reports) progress_.to(walked_.load());
    }
  }

  // The records of the true walk: segment 0's up to where it joined the
  // next trace, then that trace's after the shared copy, and so on.
  MatchResult stitch(Representation& records) {
    MatchResult result;
    std::size_t i = 0;
    std::uint64_t from = 0;
    std::uint64_t cappedFrom = segments_[0].cappedStart;
    for (;;) {
      const Segment& s = segments_[i];
      for (std::uint64_t r = from; r < s.keep; ++r) {
        const Record& record = s.records[r];
        records.append(record.n, record.at);
        if (record.n > 0) {
          ++result.copies;
          result.copiedBytes += static_cast<std::uint64_t>(record.n);
        }
      }
      result.cappedSearches += s.cappedEnd - cappedFrom;
      if (s.joined == kNone) break;
      const Copy& shared = segments_[s.joined].copies[s.joinedCopy];
      from = shared.records;
      cappedFrom = shared.capped;
      i = s.joined;
    }
    return result;
  }

  const MatchInput& in_;
  const SourceIndex& index_;
  const std::int64_t T_;
  SearchProgress progress_;  // reported by the job's thread alone
  std::vector<Segment> segments_;
  GroupOrders::Shared orders_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int active_ = 0;
  std::exception_ptr failure_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> walked_{0};  // own end bytes walked, over all segments
};

}  // namespace

MatchResult runMatchSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host) {
  if (input.strategy == 3) return runBlockSearch(input, index, records, host);
  if (input.strategy == 1 && input.threads > 1) {
    const auto T = static_cast<std::int64_t>(input.endSize);
    const std::int64_t segment =
        input.segmentBytes > 0 ? input.segmentBytes : std::max(kSmallestSegment, T / (8 * input.threads));
    if (T >= 2 * segment) return ParallelWalk(input, index, host, segment).run(records);
  }
  IntoRepresentation into(records);
  return std::make_unique<Walker>(input, index)->run(into, host);
}

}  // namespace diffengine
