// A walk of the end file held in memory on several threads, with the
// result of a walk on one.
//
// The walks this serves decide at each end offset from that offset and a
// small state, and some of their steps (a copy taken, a region found) set
// the whole state: after such a step at offset `at`, of length n and key k
// (the copy's address, the region's alignment), two walks that took the
// same step go on alike. So the end file is cut into segments, and each is
// walked from its start in a guessed state. Only the first segment's guess
// is the truth; the others' walks are right from the first step they share
// with the true walk. A walk that reaches its segment's end goes on into
// the next one until it takes a step that the next segment's walk took
// too: from there the results continue with that segment's. A walk that
// reaches the end of its segment while the next one has not been started
// takes that segment over.
//
// A Walk (one per thread) provides:
//   using Item = ...;  what it writes (records, regions), through an ItemOutput<Item>
//   void start(std::int64_t at, ItemOutput<Item>& out);  a walk from end offset `at`
//     in the guessed state, writing to `out`
//   template <class Watch> std::int64_t walk(std::int64_t d, std::int64_t until, Watch& watch);
//     decides from d on while d < until and returns where it stopped, the
//     end file's size once nothing more can happen; after each step that
//     sets its state it calls watch.stepped(at, n, key), which may end the
//     walk (true), and it tells watch.passed(d) of the offsets it reaches
//   void finish(std::int64_t end);  the end file's end: what is pending goes out
//   std::uint64_t count() const;  a running count summed over the true walk
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace diffengine {

// The bytes of a segment when `threads` walk `size` end bytes: `requested`
// when given (tests), else an eighth of each thread's share, at least
// 1 MiB; 0 when the walk is better left to one thread.
inline std::int64_t segmentBytesFor(std::int64_t size, int threads, std::int64_t requested) {
  constexpr std::int64_t kSmallestSegment = std::int64_t{1} << 20;
  if (threads < 2) return 0;
  const std::int64_t segment = requested > 0 ? requested : std::max(kSmallestSegment, size / (8 * threads));
  return size >= 2 * segment ? segment : 0;
}

// What a walk on one thread watches: no step ends it, and `passed` hears of
// each offset reached.
template <class Passed>
struct OneThreadWatch {
  Passed passed;
  bool stepped(std::int64_t, std::int64_t, std::int64_t) { return false; }
};

template <class Item>
class ItemOutput {
 public:
  virtual void append(const Item& item) = 0;

 protected:
  ~ItemOutput() = default;
};

template <class Walk>
class SegmentedWalk {
 public:
  using Item = typename Walk::Item;
  struct Result {
    std::vector<Item> items;
    std::uint64_t count = 0;
  };
  // `report(walked)`: end bytes walked so far, called on the calling thread
  // alone and at least every kReportEvery while it waits.
  SegmentedWalk(std::int64_t size, std::int64_t segmentBytes, std::function<void(std::int64_t)> report)
      : T_(size), report_(std::move(report)) {
    for (std::int64_t start = 0; start < T_; start += segmentBytes) {
      segments_.emplace_back();
      segments_.back().start = start;
      segments_.back().end = std::min(T_, start + segmentBytes);
    }
  }

  // Walks on this thread and threads - 1 more, each with a walk from
  // makeWalk(); rethrows what a walk threw.
  Result run(int threads, const std::function<std::unique_ptr<Walk>()>& makeWalk) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) {
      try {
        helpers.emplace_back([this, &makeWalk] { work(makeWalk, false); });
      } catch (const std::system_error&) {
        break;  // no thread to be had: the ones started do the work
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      active_ += static_cast<int>(helpers.size()) + 1;
    }
    work(makeWalk, true);
    {
      // Helpers finish their last segments; the progress goes on.
      std::unique_lock<std::mutex> lock(mutex_);
      while (active_ > 0) {
        changed_.wait_for(lock, kReportEvery);
        if (failure_ != nullptr) continue;
        try {
          report_(walked_.load());
        } catch (...) {
          failure_ = std::current_exception();
          stop_ = true;
        }
      }
    }
    for (std::thread& t : helpers) t.join();
    if (failure_ != nullptr) std::rethrow_exception(failure_);
    return stitch();
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::chrono::milliseconds kReportEvery{100};
  // End bytes between a walk's checks: its frontier published, its bytes
  // counted, another thread's failure heard of.
  static constexpr std::int64_t kCheckEvery = 1 << 16;

  struct Step {
    std::int64_t at;
    std::int64_t n;
    std::int64_t key;
    std::size_t items;    // the segment's items up to this step
    std::uint64_t count;  // the walk's count up to this step
  };

  struct Segment : ItemOutput<Item> {
    std::int64_t start = 0;
    std::int64_t end = 0;  // grows when the walk takes the next segment over
    bool claimed = false;  // guarded by mutex_
    std::vector<Item> items;  // written by its walk alone
    void append(const Item& item) override { items.push_back(item); }
    // Guarded by mutex_: every step of the walk taken before `frontier`;
    // `finished` once the walk has stopped.
    std::vector<Step> steps;
    std::int64_t frontier = 0;
    bool finished = false;
    // Once finished: the items that count, and the segment whose items go
    // on after its step `joinedStep` (kNone: these reach the end).
    std::size_t keep = 0;
    std::size_t joined = kNone;
    std::size_t joinedStep = 0;
    std::uint64_t countStart = 0;
    std::uint64_t countEnd = 0;
  };

  struct Stopped {};  // another thread failed

  void work(const std::function<std::unique_ptr<Walk>()>& makeWalk, bool reports) {
    try {
      const std::unique_ptr<Walk> walk = makeWalk();
      for (;;) {
        std::size_t i = 0;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          while (i < segments_.size() && segments_[i].claimed) ++i;
          if (i == segments_.size() || failure_ != nullptr) break;
          segments_[i].claimed = true;
        }
        walkSegment(*walk, i, reports);
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

  // What a segment's walk does at each step and offset.
  struct Watch {
    SegmentedWalk& sw;
    Walk& walk;
    Segment& s;
    bool reports;
    std::int64_t counted;        // own end bytes counted into walked_
    std::int64_t checked;        // offset of the last periodic check
    std::size_t target = kNone;  // the steps sought beyond the own segment
    std::size_t nextSegment;     // the segment after the own ones

    bool stepped(std::int64_t at, std::int64_t n, std::int64_t key) {
      std::unique_lock<std::mutex> lock(sw.mutex_);
      s.steps.push_back(Step{at, n, key, s.items.size(), walk.count()});
      s.frontier = at + n;
      sw.changed_.notify_all();
      if (target == kNone || at < sw.segments_[target].start) return false;
      std::size_t index = 0;
      const std::size_t found = sw.seek(lock, target, at, reports, &index);
      if (found == kNone) return false;
      const Step& step = sw.segments_[found].steps[index];
      if (step.n != n || step.key != key) return false;
      s.keep = s.items.size();
      s.joined = found;
      s.joinedStep = index;
      s.countEnd = walk.count();
      s.finished = true;
      return true;
    }

    void passed(std::int64_t d) {
      if (d - checked < kCheckEvery) return;
      checked = d;
      count(d);
      if (sw.stop_.load(std::memory_order_relaxed)) throw Stopped{};
      std::lock_guard<std::mutex> lock(sw.mutex_);
      s.frontier = std::max(s.frontier, d);
      sw.changed_.notify_all();
      if (reports) sw.report_(sw.walked_.load());
    }

    // Counts the own end bytes walked up to d.
    void count(std::int64_t d) {
      const std::int64_t upTo = std::min(d, s.end);
      if (upTo > counted) sw.walked_ += upTo - counted;
      counted = std::max(counted, upTo);
    }
  };

  void walkSegment(Walk& walk, std::size_t i, bool reports) {
    Segment& s = segments_[i];
    walk.start(s.start, s);
    s.countStart = walk.count();
    Watch watch{*this, walk, s, reports, s.start, s.start, kNone, i + 1};
    std::int64_t d = s.start;
    for (;;) {
      d = walk.walk(d, s.end, watch);
      watch.count(d);
      if (d >= T_) break;
      std::lock_guard<std::mutex> lock(mutex_);
      Segment& next = segments_[watch.nextSegment];
      if (next.claimed) {
        watch.target = watch.nextSegment;
        break;
      }
      // Nobody walks the next segment yet: it becomes part of this one.
      next.claimed = true;
      s.end = next.end;
      ++watch.nextSegment;
    }
    if (d < T_) d = walk.walk(d, T_, watch);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!s.finished) {
      // The walk reached the end file's end.
      walk.finish(T_);
      s.keep = s.items.size();
      s.countEnd = walk.count();
      s.finished = true;
      d = T_;
    }
    s.frontier = std::max(s.frontier, d);
    changed_.notify_all();
  }

  // The step at end offset `at` in the walk that goes on from segment
  // `target`'s, waiting for that walk to get there: its segment (kNone when
  // that walk took no step at `at`) and place in *index.
  std::size_t seek(std::unique_lock<std::mutex>& lock, std::size_t target, std::int64_t at, bool reports,
                   std::size_t* index) {
    for (;;) {
      const Segment& t = segments_[target];
      if (at < t.frontier) {
        const auto it = std::lower_bound(t.steps.begin(), t.steps.end(), at,
                                         [](const Step& c, std::int64_t d) { return c.at < d; });
        if (it == t.steps.end() || it->at != at) return kNone;
        *index = static_cast<std::size_t>(it - t.steps.begin());
        return target;
      }
      if (t.finished) {
        if (t.joined == kNone) return kNone;
        target = t.joined;  // that walk goes on in the one it joined
        continue;
      }
      if (stop_.load()) throw Stopped{};
      changed_.wait_for(lock, kReportEvery);
      if (reports) report_(walked_.load());
    }
  }

  // The true walk: segment 0's items up to where it joined the next walk,
  // then that walk's after the shared step, and so on.
  Result stitch() {
    Result result;
    std::size_t i = 0;
    std::size_t from = 0;
    std::uint64_t countFrom = segments_[0].countStart;
    for (;;) {
      Segment& s = segments_[i];
      result.items.insert(result.items.end(), s.items.begin() + static_cast<std::ptrdiff_t>(from),
                          s.items.begin() + static_cast<std::ptrdiff_t>(s.keep));
      result.count += s.countEnd - countFrom;
      if (s.joined == kNone) break;
      const Step& shared = segments_[s.joined].steps[s.joinedStep];
      from = shared.items;
      countFrom = shared.count;
      i = s.joined;
    }
    return result;
  }

  const std::int64_t T_;
  const std::function<void(std::int64_t)> report_;
  std::vector<Segment> segments_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int active_ = 0;
  std::exception_ptr failure_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> walked_{0};  // own end bytes walked, over all segments
};

}  // namespace diffengine
