#include "diffengine/compact.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "diffengine/segmented_walk.h"

#if defined(VERDELIN_HAVE_DIVSUFSORT)
#include <divsufsort.h>
#endif

namespace diffengine {
namespace {

// A new alignment needs an exact match this long; shorter ones are found
// all over machine code by chance. In text, common phrases of a few words
// repeat everywhere: a copy of one from far away costs more than the
// inserted text, which the body's compression codes well, so in a text
// file a match of text needs to be longer.
constexpr std::int64_t kNewAlignment = 16;
constexpr std::int64_t kNewAlignmentInText = 48;

// No control bytes but tab, line feed and carriage return (machine code is
// full of zeros); UTF-8 text passes too.
bool isText(const std::uint8_t* data, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint8_t c = data[i];
    if (c < 32 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

// A text file: at least half of its 4 KiB blocks are text (an archive of
// text files counts, its headers do not).
bool looksLikeText(const std::uint8_t* data, std::uint64_t n) {
  constexpr std::uint64_t kBlock = 4096;
  std::uint64_t blocks = 0, text = 0;
  for (std::uint64_t at = 0; at < n; at += kBlock) {
    ++blocks;
    text += isText(data + at, static_cast<std::int64_t>(std::min(kBlock, n - at)));
  }
  return n > 0 && 2 * text >= blocks;
}

// The current alignment is kept while its exact match is at most this much
// shorter than the longest one: its copies cost fewer bytes.
constexpr std::int64_t kAlignmentPreference = 8;
// Growing a region over differences: +1 per agreeing byte, -kMismatchPenalty
// per differing one; growing stops once the score fell kDrop below its best.
constexpr std::int64_t kMismatchPenalty = 3;
constexpr std::int64_t kDrop = 48;

// Longest common prefix of the target suffix and source suffix `s`.
std::int64_t prefixLength(const std::uint8_t* source, std::int64_t S, std::int64_t s, const std::uint8_t* t,
                          std::int64_t room) {
  return static_cast<std::int64_t>(commonLength(source + s, t, std::min(room, S - s)));
}

// Finds where the end file aligns with the source: at each offset the
// longest match, kept with the current alignment where that is nearly as
// long, each grown both ways into a region. A region found sets the whole
// state of the walk (its end and alignment), so the walk also runs in
// segments on several threads.
class RegionWalk {
 public:
  using Item = CompactRegion;
  RegionWalk(const std::uint8_t* source, std::int64_t S, const std::uint8_t* end, std::int64_t T,
             const std::int32_t* sa, const std::uint32_t* starts, int width, bool inText)
      : src_(source), S_(S), end_(end), T_(T), sa_(sa), starts_(starts), width_(width), inText_(inText) {}

  // A walk from end offset `at`, not aligned, with nothing to grow back into.
  void start(std::int64_t at, ItemOutput<CompactRegion>& out) {
    out_ = &out;
    literalStart_ = at;
    aligned_ = false;
    delta_ = 0;
  }
  void finish(std::int64_t) {}
  std::uint64_t count() const { return 0; }

  // Decides from offset o on while o < until; after each region (its match
  // at `at`) watch.stepped(at, n, delta) may end the walk. Returns where it
  // stopped, T once no region can start any more.
  template <class Watch>
  std::int64_t walk(std::int64_t o, std::int64_t until, Watch& watch) {
    while (o < until) {
      if (o + kNewAlignment > T_) return T_;
      std::int64_t p = 0;
      std::int64_t len = longestMatch(o, &p);
      if (aligned_ && o + delta_ >= 0 && o + delta_ < S_) {
        const std::int64_t here = prefixLength(src_, S_, o + delta_, end_ + o, T_ - o);
        if (here > 0 && here + kAlignmentPreference >= len) {
          len = here;
          p = o + delta_;
        }
      }
      if (len < newAlignmentFor(o, len) && !(aligned_ && p == o + delta_ && len >= 4)) {
        ++o;
        watch.passed(o);
        continue;
      }
      delta_ = p - o;
      aligned_ = true;
      // Grow backward into the pending literals, then forward.
      const std::int64_t back = growBackward(o, p, o - literalStart_);
      const std::int64_t forward = growForward(o + len, p + len);
      const std::int64_t at = o;
      out_->append(CompactRegion{o - back, o + len + forward, delta_});
      o = o + len + forward;
      literalStart_ = o;
      if (watch.stepped(at, o - at, delta_)) {
        watch.passed(o);
        return o;
      }
      watch.passed(o);
    }
    return o;
  }

  // The exact match of `len` bytes at end offset o that a new alignment needs.
  std::int64_t newAlignmentFor(std::int64_t o, std::int64_t len) const {
    return inText_ && len < kNewAlignmentInText && isText(end_ + o, len) ? kNewAlignmentInText : kNewAlignment;
  }

  // The longest match of end[o..] in the source, its start in *p. A match
  // shorter than four bytes counts as none (the walk takes neither), which
  // lets the search stay inside the bucket of t's first bytes.
  std::int64_t longestMatch(std::int64_t o, std::int64_t* p) const {
    *p = 0;
    if (S_ == 0) return 0;
    const std::uint8_t* t = end_ + o;
    const std::int64_t room = T_ - o;  // at least the new alignment's match, so more than the width
    std::uint32_t key = 0;
    for (int i = 0; i < width_; ++i) key = key << 8 | t[i];
    // Binary search for the first suffix not below t; the longest match is
    // with it or with the suffix before it. Every suffix between two
    // others shares at least the smaller of their common lengths with t,
    // and every full-width suffix of the bucket shares its first bytes, so
    // each comparison starts there (long repeats are compared once, not at
    // every step).
    std::int64_t lo = starts_[key];
    std::int64_t hi = starts_[key + 1];
    if (lo == hi) return 0;
    std::int64_t below = 0;  // common length of t with suffix lo - 1, once lo moved
    std::int64_t above = 0;  // common length of t with suffix hi, once hi moved
    while (lo < hi) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      const std::int64_t s = sa_[mid];
      const std::int64_t n = std::min(room, S_ - s);
      const std::int64_t skip = n < width_ ? 0 : std::min(std::max<std::int64_t>(width_, std::min(below, above)), n);
      const std::int64_t c = skip + static_cast<std::int64_t>(commonLength(src_ + s + skip, t + skip, n - skip));
      const bool before = c < n ? src_[s + c] < t[c] : n < room;
      if (before) {
        lo = mid + 1;
        below = c;
      } else {
        hi = mid;
        above = c;
      }
    }
    if (lo < S_ && above > (lo > 0 ? below : 0)) {
      *p = sa_[lo];
      return above;
    }
    if (lo > 0 && below > 0) {
      *p = sa_[lo - 1];
      return below;
    }
    return 0;
  }

  // Bytes before end offset o that agree well enough with those before
  // source address p, at most `limit`; the region then starts on an
  // agreeing byte.
  std::int64_t growBackward(std::int64_t o, std::int64_t p, std::int64_t limit) const {
    limit = std::min(limit, p);
    std::int64_t score = 0, best = 0, at = 0;
    for (std::int64_t i = 1; i <= limit; ++i) {
      score += end_[o - i] == src_[p - i] ? 1 : -kMismatchPenalty;
      if (score > best) {
        best = score;
        at = i;
      } else if (score < best - kDrop) {
        break;
      }
    }
    return at;
  }

  std::int64_t growForward(std::int64_t o, std::int64_t p) const {
    const std::int64_t limit = std::min(T_ - o, S_ - p);
    std::int64_t score = 0, best = 0, at = 0;
    for (std::int64_t i = 0; i < limit; ++i) {
      score += end_[o + i] == src_[p + i] ? 1 : -kMismatchPenalty;
      if (score > best) {
        best = score;
        at = i + 1;
      } else if (score < best - kDrop) {
        break;
      }
    }
    return at;
  }

  const std::uint8_t* src_;
  const std::int64_t S_;
  const std::uint8_t* end_;
  const std::int64_t T_;
  const std::int32_t* sa_;
  const std::uint32_t* starts_;
  const int width_;
  const bool inText_;  // the end file is text
  ItemOutput<CompactRegion>* out_ = nullptr;
  std::int64_t literalStart_ = 0;
  bool aligned_ = false;
  std::int64_t delta_ = 0;  // source address - end offset of the current alignment
};

// The records of the regions: copies of their exact runs, the rest as
// inserts.
class CompactWalker {
 public:
  CompactWalker(const std::uint8_t* source, const std::uint8_t* end, std::int64_t T, std::int64_t splitRun,
                Representation& records, EngineHost& host, int toPercent)
      : src_(source), end_(end), T_(T), splitRun_(splitRun), records_(records), host_(host), to_(toPercent) {}

  // The records of the regions, the stretches between them as inserts.
  MatchResult run(const std::vector<CompactRegion>& regions) {
    std::int64_t literalStart = 0;
    for (const CompactRegion& r : regions) {
      if (r.a > literalStart) insert(literalStart, r.a - literalStart);
      region(r.a, r.z, r.delta);
      literalStart = r.z;
    }
    if (T_ > literalStart) insert(literalStart, T_ - literalStart);
    host_.progress(1, to_);
    return result_;
  }

 private:
  void insert(std::int64_t at, std::int64_t n) {
    if (n <= 0) return;
    // A region may follow an insert directly: join the two.
    if (records_.size() > 0) {
      Record& last = records_.back();
      if (last.n < 0 && static_cast<std::int64_t>(last.at) - last.n == at) {
        last.n -= n;
        return;
      }
    }
    records_.append(-n, static_cast<std::uint32_t>(at));
  }

  void copy(std::int64_t n, std::int64_t from) {
    records_.append(n, static_cast<std::uint32_t>(from));
    ++result_.copies;
    result_.copiedBytes += static_cast<std::uint64_t>(n);
  }

  // End bytes [a, z) aligned with the source at a + delta, starting on an
  // agreeing byte: copies of its first exact run and of long exact runs,
  // the stretches between them as inserts.
  void region(std::int64_t a, std::int64_t z, std::int64_t delta) {
    std::int64_t i = a;
    bool first = true;
    std::int64_t pending = -1;  // start of the insert being gathered
    while (i < z) {
      std::int64_t run = 0;
      while (i + run < z && end_[i + run] == src_[i + run + delta]) ++run;
      if (run > 0 && (first || run >= splitRun_)) {
        if (pending >= 0) insert(pending, i - pending);
        pending = -1;
        copy(run, i + delta);
        first = false;
        i += run;
        continue;
      }
      if (pending < 0) pending = i;
      i += run > 0 ? run : 1;
    }
    if (pending >= 0) insert(pending, z - pending);
  }

  const std::uint8_t* src_;
  const std::uint8_t* end_;
  const std::int64_t T_;
  const std::int64_t splitRun_;
  Representation& records_;
  EngineHost& host_;
  const int to_;
  MatchResult result_;
};

}  // namespace

namespace {

// The suffix array's buckets by their first bytes: two below 16 MiB of
// source, three from there on (a table of 64 MiB).
int bucketWidth(std::uint64_t sourceSize) { return sourceSize < (std::uint64_t{1} << 24) ? 2 : 3; }
std::uint64_t bucketCount(std::uint64_t sourceSize) { return std::uint64_t{1} << (8 * bucketWidth(sourceSize)); }

}  // namespace

std::uint64_t compactSearchBytes(std::uint64_t sourceSize) {
  return 4 * sourceSize + 4 * (bucketCount(sourceSize) + 1);
}

// Prefix doubling: suffixes sorted by their first h bytes, then by 2h
// using the ranks of the halves, until every rank differs. Each round
// sorts by (rank, rank h later) with two counting passes.
void suffixSortFallback(const std::uint8_t* data, std::int32_t n, std::int32_t* sa) {
  if (n <= 0) return;
  const auto N = static_cast<std::size_t>(n);
  std::vector<std::int32_t> rank(N), next(N), tmp(N);
  std::vector<std::int32_t> count(std::max<std::size_t>(N, 256) + 2);
  for (std::size_t i = 0; i < N; ++i) rank[i] = data[i];
  std::int32_t classes = 256;
  for (std::size_t i = 0; i < N; ++i) sa[i] = static_cast<std::int32_t>(i);
  // Key of suffix i at step h: (rank[i], rank[i + h] + 1 or 0 past the end).
  for (std::size_t h = 0;; h = h == 0 ? 1 : h * 2) {
    auto second = [&](std::size_t i) -> std::int32_t { return h == 0 ? 0 : i + h < N ? rank[i + h] + 1 : 0; };
    // Counting sort by the second key, then stably by the first.
    const std::size_t width = static_cast<std::size_t>(classes) + 1;
    std::fill(count.begin(), count.begin() + static_cast<long>(width + 1), 0);
    for (std::size_t i = 0; i < N; ++i) ++count[static_cast<std::size_t>(second(i)) + 1];
    for (std::size_t k = 1; k <= width; ++k) count[k] += count[k - 1];
    for (std::size_t i = 0; i < N; ++i) tmp[static_cast<std::size_t>(count[static_cast<std::size_t>(second(i))]++)] = static_cast<std::int32_t>(i);
    std::fill(count.begin(), count.begin() + static_cast<long>(width + 1), 0);
    for (std::size_t i = 0; i < N; ++i) ++count[static_cast<std::size_t>(rank[i]) + 1];
    for (std::size_t k = 1; k <= width; ++k) count[k] += count[k - 1];
    for (std::size_t j = 0; j < N; ++j) {
      const auto i = static_cast<std::size_t>(tmp[j]);
      sa[count[static_cast<std::size_t>(rank[i])]++] = static_cast<std::int32_t>(i);
    }
    std::int32_t r = 0;
    next[static_cast<std::size_t>(sa[0])] = 0;
    for (std::size_t j = 1; j < N; ++j) {
      const auto i = static_cast<std::size_t>(sa[j]);
      const auto k = static_cast<std::size_t>(sa[j - 1]);
      if (rank[i] != rank[k] || second(i) != second(k)) ++r;
      next[i] = r;
    }
    rank.swap(next);
    classes = r + 1;
    if (classes == n) break;
  }
}

void suffixSort(const std::uint8_t* data, std::int32_t n, std::int32_t* sa) {
  if (n <= 0) return;
#if defined(VERDELIN_HAVE_DIVSUFSORT)
  if (divsufsort(data, sa, n) == 0) return;
#endif
  suffixSortFallback(data, n, sa);
}

CompactSearch::CompactSearch(const std::uint8_t* source, std::uint64_t S, const std::uint8_t* end, std::uint64_t T,
                             Memory& memory, EngineHost& host, int threads, std::int64_t segmentBytes)
    : source_(source), S_(S), end_(end), T_(T), memory_(memory), host_(host), threads_(threads),
      segmentBytes_(segmentBytes), endIsText_(looksLikeText(end, T)) {
  host.progress(1, 0);
  if (S > 0) {
    sa_ = static_cast<std::int32_t*>(memory.allocate(compactSearchBytes(S), "to sort the source file's suffixes"));
  }
  suffixSort(source, static_cast<std::int32_t>(S), sa_);
  if (S > 0) {
    // start[K]: the suffixes below the bytes K; the suffixes that begin
    // with K are the entries start[K] .. start[K + 1] - 1, together with
    // the one or two suffixes shorter than the width that sort among them.
    const int w = bucketWidth(S);
    const std::uint64_t keys = bucketCount(S);
    starts_ = reinterpret_cast<std::uint32_t*>(sa_ + S);
    std::fill(starts_, starts_ + keys + 1, 0u);
    for (std::uint64_t p = 0; p < S; ++p) {
      std::uint64_t key = 0;
      for (int i = 0; i < w; ++i) key = key << 8 | (p + static_cast<std::uint64_t>(i) < S ? source[p + static_cast<std::uint64_t>(i)] : 0);
      // A full-width prefix counts from the next key on; a shorter suffix
      // sorts before every suffix it is a prefix of.
      ++starts_[p + static_cast<std::uint64_t>(w) <= S ? key + 1 : key];
    }
    for (std::uint64_t k = 1; k <= keys; ++k) starts_[k] += starts_[k - 1];
  }
}

CompactSearch::~CompactSearch() { memory_.release(sa_); }

MatchResult CompactSearch::walk(std::int64_t splitRun, Representation& records, int fromPercent, int toPercent) {
  if (!regionsFound_) {
    findRegions(fromPercent, toPercent);
    regionsFound_ = true;
  }
  CompactWalker walker(source_, end_, static_cast<std::int64_t>(T_), splitRun, records, host_, toPercent);
  return walker.run(regions_);
}

void CompactSearch::findRegions(int fromPercent, int toPercent) {
  const auto S = static_cast<std::int64_t>(S_);
  const auto T = static_cast<std::int64_t>(T_);
  const auto makeWalk = [&] {
    return std::make_unique<RegionWalk>(source_, S, end_, T, sa_, starts_, bucketWidth(S_), endIsText_);
  };
  int percent = fromPercent;
  const auto report = [&](std::int64_t walked) {
    const int now = fromPercent + static_cast<int>(walked * (toPercent - fromPercent) / std::max<std::int64_t>(T, 1));
    if (now != percent) host_.progress(1, percent = now);
  };
  const std::int64_t segment = segmentBytesFor(T, threads_, segmentBytes_);
  if (segment > 0) {
    regions_ = SegmentedWalk<RegionWalk>(T, segment, report).run(threads_, makeWalk).items;
    return;
  }
  struct Into : ItemOutput<CompactRegion> {
    std::vector<CompactRegion>& regions;
    explicit Into(std::vector<CompactRegion>& r) : regions(r) {}
    void append(const CompactRegion& r) override { regions.push_back(r); }
  } into(regions_);
  OneThreadWatch<decltype(report)> watch{report};
  const auto walk = makeWalk();
  walk->start(0, into);
  walk->walk(0, T, watch);
}

}  // namespace diffengine
