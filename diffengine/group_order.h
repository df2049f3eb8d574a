// Large groups of equal index words, searched in order of their bytes.
//
// A group holds every bucket entry with one word: all of them agree with
// the probed end bytes over six bytes, and the plain search weighs each.
// Real programs have groups of millions (padding, zero runs, tables). The
// search here orders a group once per phase k by the k bytes before each
// entry, then by up to kSpan bytes after its six known ones (then by
// position), and keeps the agreement of each entry with the next. Where
// the end bytes sort, the entries that agree with them longest lie
// together, and the agreement only falls with each step outward, so a
// side ends at the first entry that could no longer matter. The length
// an entry agrees over is known without touching its bytes again, except
// for entries that agree over the whole span.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "diffengine/source_index.h"

namespace diffengine {

class GroupOrders {
 public:
  static constexpr std::int64_t kSpan = 256;
  // Entries that agree over the whole span have no known bound. Where more
  // than this many of them (by default) meet one search, far beyond any
  // test's or real program's groups below level 9, the search is cut short:
  // only the kWeighedWhenCut nearest a given position are weighed.
  static constexpr std::int64_t kMostUnbounded = 65536;
  static constexpr std::int64_t kWeighedWhenCut = 1024;

  class Shared;

  // `memory`: the bytes the entries' positions point into; `sourceSize`
  // ends the source, `memorySize` (>= sourceSize) the end file held after it.
  // With `shared`, the orders made go there and are taken from there.
  GroupOrders(const std::uint8_t* memory, std::int64_t sourceSize, std::int64_t memorySize,
              Shared* shared = nullptr)
      : m_(memory), S_(sourceSize), size_(memorySize), shared_(shared) {}

  // What the search meets: weigh(position, agreed) for the group entry at
  // `position`, whose tail
  // agrees with the end bytes over `agreed` bytes (kSpan: at least that
  // many); worth(agreed) tells whether an entry agreeing over that many
  // could still change the result.
  class Visitor {
   public:
    virtual bool worth(std::int64_t agreed) = 0;
    virtual void weigh(std::uint32_t position, std::int64_t agreed) = 0;

   protected:
    ~Visitor() = default;
  };

  struct Query {
    int k = 0;                          // phase: bytes before the six known ones
    const std::uint8_t* before = nullptr;  // the k end bytes before them
    const std::uint8_t* tail = nullptr;    // the end bytes after them
    std::int64_t tailLength = 0;        // at most kSpan
    std::int64_t near = 0;              // entries nearest this position win a cap
    std::int64_t mostUnbounded = kMostUnbounded;
  };

  enum class Searched {
    kNotYet,    // the group is not ordered yet: the caller weighs every entry
    kComplete,  // every entry that could matter was weighed
    kCapped,    // too many entries agreed over the whole span: only some were weighed
  };
  // Searches `group` (size entries, one word). A group is ordered on its
  // kProbesBeforeOrder-th search in a phase (large ones on their first):
  // groups met a few times only cost less weighed entry by entry.
  Searched search(const IndexEntry* group, std::int64_t size, const Query& q, Visitor& visitor);
  static constexpr std::uint32_t kProbesBeforeOrder = 16;
  static constexpr std::int64_t kOrderAtOnce = 4096;  // groups this large are ordered on their first search

 private:
  static constexpr std::uint8_t kPrefixDiffers = 255;  // in agree: the k bytes before differ
  static constexpr std::uint8_t kAtLeast = 254;         // in agree: 254 or more bytes
  // An entry in order: its position and its first four ordering bytes
  // (the k before, then the tail; zeros past its end), which decide most
  // comparisons without reading the entry's bytes.
  struct Item {
    std::uint32_t key;
    std::uint32_t position;
  };
  struct Order {
    std::vector<Item> items;
    std::vector<std::uint8_t> agree;  // agree[i]: of items i and i + 1
  };
  // A group in one phase as this walk met it.
  struct Met {
    std::uint32_t probes = 0;
    std::shared_ptr<const Order> order;  // null until ordered
  };
  struct Slot {
    std::uint64_t key;  // 0: free
    std::uint32_t order;
  };

  // The group's order, or null while it has been searched too few times
  // (or when memory ran out for orders).
  const Order* orderOf(const IndexEntry* group, std::int64_t size, int k);
  std::shared_ptr<const Order> makeOrder(const IndexEntry* group, std::int64_t size, int k) const;
  std::int64_t tailLength(std::int64_t s) const;
  bool before(const Item& x, const Item& y, int k) const;
  void sortItems(std::vector<Item>& items, int k) const;
  static std::uint32_t keyOf(const std::uint8_t* before, int k, const std::uint8_t* tail, std::int64_t tailLength);
  std::size_t slotOf(std::uint64_t key) const;
  void grow();

  const std::uint8_t* m_;
  std::int64_t S_;
  std::int64_t size_;
  std::vector<Slot> slots_;  // open addressing over (group, phase)
  std::vector<Met> met_;
  Shared* shared_;
  bool outOfMemory_ = false;
};

// The orders of the walks of several threads over the same memory: each
// is made once (or, when two threads want it at once, the first kept).
class GroupOrders::Shared {
 public:
  std::shared_ptr<const Order> find(std::uint64_t key);
  // `order`, or the one another thread gave first.
  std::shared_ptr<const Order> add(std::uint64_t key, std::shared_ptr<const Order> order);

 private:
  std::mutex mutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<const Order>> orders_;
};

}  // namespace diffengine
