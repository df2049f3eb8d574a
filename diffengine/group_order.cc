#include "diffengine/group_order.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "diffengine/match.h"

namespace diffengine {
namespace {

// memcmp of the at most four bytes before an entry, without a call.
int compareBytes(const std::uint8_t* a, const std::uint8_t* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

}  // namespace

// The bytes after entry s's six known ones that order it: up to kSpan, and
// not past the source end (an entry of the source) or the end file's end.
std::int64_t GroupOrders::tailLength(std::int64_t s) const {
  const std::int64_t limit = s + 6 < S_ ? S_ : size_;
  return std::min(kSpan, limit - (s + 6));
}

std::uint32_t GroupOrders::keyOf(const std::uint8_t* before, int k, const std::uint8_t* tail,
                                  std::int64_t tailLength) {
  std::uint32_t key = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t b = i < k ? before[i] : i - k < tailLength ? tail[i - k] : 0;
    key = key << 8 | b;
  }
  return key;
}

std::size_t GroupOrders::slotOf(std::uint64_t key) const {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & (slots_.size() - 1);
}

void GroupOrders::grow() {
  std::vector<Slot> old(std::max<std::size_t>(1024, 2 * slots_.size()), Slot{0, 0});
  old.swap(slots_);
  for (const Slot& s : old) {
    if (s.key == 0) continue;
    std::size_t i = slotOf(s.key);
    while (slots_[i].key != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = s;
  }
}

const GroupOrders::Order* GroupOrders::orderOf(const IndexEntry* group, std::int64_t size, int k) {
  const std::uint64_t key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(group)) << 3 | static_cast<std::uint64_t>(k);
  Met* met = nullptr;
  try {
    if (2 * (met_.size() + 1) > slots_.size()) grow();
    std::size_t i = slotOf(key);
    while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i].key == 0) {
      met_.emplace_back();
      slots_[i] = Slot{key, static_cast<std::uint32_t>(met_.size() - 1)};
    }
    met = &met_[slots_[i].order];
    if (met->order) return met->order.get();
    if (outOfMemory_ || (++met->probes < kProbesBeforeOrder && size < kOrderAtOnce)) return nullptr;
    if (shared_ != nullptr) met->order = shared_->find(key);
    if (!met->order) {
      met->order = makeOrder(group, size, k);
      if (shared_ != nullptr) met->order = shared_->add(key, met->order);
    }
    return met->order.get();
  } catch (const std::bad_alloc&) {
    // No room for more orders (a 32-bit builder with a big pair): the
    // groups not ordered yet are weighed entry by entry, with the same result.
    outOfMemory_ = true;
    if (met != nullptr) met->order.reset();
    return nullptr;
  }
}

std::shared_ptr<const GroupOrders::Order> GroupOrders::makeOrder(const IndexEntry* group, std::int64_t size,
                                                                 int k) const {
  auto made = std::make_shared<Order>();
  Order& order = *made;
  std::vector<Item>& items = order.items;
  items.resize(static_cast<std::size_t>(size));
  for (std::size_t p = 0; p < items.size(); ++p) {
    const std::int64_t s = group[p].position;
    items[p] = Item{keyOf(m_ + s - k, k, m_ + s + 6, tailLength(s)), group[p].position};
  }
  sortItems(items, k);
  order.agree.resize(items.size() - 1);
  for (std::size_t p = 0; p + 1 < items.size(); ++p) {
    const std::int64_t sx = items[p].position;
    const std::int64_t sy = items[p + 1].position;
    if (compareBytes(m_ + sx - k, m_ + sy - k, k) != 0) {
      order.agree[p] = kPrefixDiffers;
      continue;
    }
    const auto c = static_cast<std::int64_t>(
        commonLength(m_ + sx + 6, m_ + sy + 6, std::min(tailLength(sx), tailLength(sy))));
    order.agree[p] = static_cast<std::uint8_t>(std::min<std::int64_t>(c, kAtLeast));
  }
  return made;
}

std::shared_ptr<const GroupOrders::Order> GroupOrders::Shared::find(std::uint64_t key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = orders_.find(key);
  return it == orders_.end() ? nullptr : it->second;
}

std::shared_ptr<const GroupOrders::Order> GroupOrders::Shared::add(std::uint64_t key,
                                                                   std::shared_ptr<const Order> order) {
  std::lock_guard<std::mutex> lock(mutex_);
  return orders_.emplace(key, std::move(order)).first->second;
}

// Entry x against entry y in the order: the k bytes before, the tail
// (a shorter one first), then the position.
bool GroupOrders::before(const Item& x, const Item& y, int k) const {
  if (x.key != y.key) return x.key < y.key;
  const std::int64_t sx = x.position;
  const std::int64_t sy = y.position;
  const int p = compareBytes(m_ + sx - k, m_ + sy - k, k);
  if (p != 0) return p < 0;
  const std::int64_t lx = tailLength(sx);
  const std::int64_t ly = tailLength(sy);
  const std::int64_t lim = std::min(lx, ly);
  const auto c = static_cast<std::int64_t>(commonLength(m_ + sx + 6, m_ + sy + 6, lim));
  if (c < lim) return m_[sx + 6 + c] < m_[sy + 6 + c];
  return lx != ly ? lx < ly : sx < sy;
}

// Orders the items. Runs and repeated patterns give groups of millions of
// entries with the very same bytes, which a comparison sort would compare
// over the whole span again and again: equal byte strings are found first
// (by a hash of each, confirmed byte by byte), only one of each is sorted,
// and its equals follow it by position.
void GroupOrders::sortItems(std::vector<Item>& items, int k) const {
  struct Hashed {
    std::uint64_t hash;
    std::uint32_t key;
    std::uint32_t position;
  };
  std::vector<Hashed> hashed(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::int64_t s = items[i].position;
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(tailLength(s));
    const auto mix = [&h](const std::uint8_t* p, std::int64_t n) {
      std::int64_t j = 0;
      for (; j + 8 <= n; j += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + j, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h ^= h >> 29;
      }
      for (; j < n; ++j) h = (h ^ p[j]) * 0x100000001B3ull;
    };
    mix(m_ + s - k, k);
    mix(m_ + s + 6, tailLength(s));
    hashed[i] = Hashed{h, items[i].key, items[i].position};
  }
  std::sort(hashed.begin(), hashed.end(), [](const Hashed& x, const Hashed& y) {
    if (x.key != y.key) return x.key < y.key;
    if (x.hash != y.hash) return x.hash < y.hash;
    return x.position < y.position;
  });
  // Classes of equal strings: [first, end) of `hashed`; a hash that two
  // different strings share splits its run.
  const auto same = [&](std::uint32_t x, std::uint32_t y) {
    const std::int64_t lx = tailLength(x);
    return lx == tailLength(y) && compareBytes(m_ + x - k, m_ + y - k, k) == 0 &&
           commonLength(m_ + x + 6, m_ + y + 6, lx) == static_cast<std::size_t>(lx);
  };
  struct Class {
    std::uint32_t first;
    std::uint32_t end;
  };
  std::vector<Class> classes;
  for (std::size_t a = 0; a < hashed.size();) {
    std::size_t b = a + 1;
    while (b < hashed.size() && hashed[b].key == hashed[a].key && hashed[b].hash == hashed[a].hash &&
           same(hashed[a].position, hashed[b].position)) {
      ++b;
    }
    classes.push_back(Class{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)});
    a = b;
  }
  std::sort(classes.begin(), classes.end(), [&](const Class& x, const Class& y) {
    const Hashed& a = hashed[x.first];
    const Hashed& b = hashed[y.first];
    return before(Item{a.key, a.position}, Item{b.key, b.position}, k);
  });
  std::size_t out = 0;
  for (const Class& c : classes) {
    for (std::uint32_t i = c.first; i < c.end; ++i) items[out++] = Item{hashed[i].key, hashed[i].position};
  }
}

GroupOrders::Searched GroupOrders::search(const IndexEntry* group, std::int64_t size, const Query& q,
                                          Visitor& visitor) {
  const Order* ordered = orderOf(group, size, q.k);
  if (ordered == nullptr) return Searched::kNotYet;
  const Order& order = *ordered;
  const auto entry = [&](std::int64_t place) -> std::int64_t { return order.items[static_cast<std::size_t>(place)].position; };
  const std::uint32_t queryKey = keyOf(q.before, q.k, q.tail, q.tailLength);
  // The entry at s against the end bytes, like memcmp; *agreed: the tails'
  // common length, or -1 when the k bytes before differ.
  const auto compare = [&](std::int64_t s, std::int64_t* agreed) {
    *agreed = -1;
    const int p = compareBytes(m_ + s - q.k, q.before, q.k);
    if (p != 0) return p;
    const std::int64_t lx = tailLength(s);
    const std::int64_t lim = std::min(lx, q.tailLength);
    const auto c = static_cast<std::int64_t>(commonLength(m_ + s + 6, q.tail, lim));
    *agreed = c;
    if (c < lim) return m_[s + 6 + c] < q.tail[c] ? -1 : 1;
    return lx < q.tailLength ? -1 : lx > q.tailLength ? 1 : 0;
  };
  // The first place from `lo` on that sorts after the end bytes (`after`)
  // or not before them; the entries equal to them are mostly none or a
  // few, so their end is looked for nearby first.
  const auto firstPlace = [&](std::int64_t lo, bool after) {
    std::int64_t hi = size;
    std::int64_t agreed = 0;
    for (const std::int64_t near = lo + 8; after && lo < std::min(near, hi); ++lo) {
      if (compare(entry(lo), &agreed) != 0) return lo;
    }
    while (lo < hi) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      const std::uint32_t key = order.items[static_cast<std::size_t>(mid)].key;
      const int c = key != queryKey ? (key < queryKey ? -1 : 1) : compare(entry(mid), &agreed);
      if (c < 0 || (after && c == 0)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  const std::int64_t from = firstPlace(0, false);
  const std::int64_t to = firstPlace(from, true);

  // The entries equal to the end bytes agree over all of them.
  Searched result = Searched::kComplete;
  if (q.tailLength == kSpan && to - from > q.mostUnbounded) {
    // Ordered by position here: those nearest q.near, outward.
    result = Searched::kCapped;
    std::int64_t up = from;
    std::int64_t hi = to;
    while (up < hi) {
      const std::int64_t mid = up + (hi - up) / 2;
      if (entry(mid) < q.near) {
        up = mid + 1;
      } else {
        hi = mid;
      }
    }
    std::int64_t down = up - 1;
    for (std::int64_t n = 0; n < kWeighedWhenCut; ++n) {
      const bool takeUp = up < to && (down < from || entry(up) - q.near <= q.near - entry(down));
      visitor.weigh(static_cast<std::uint32_t>(entry(takeUp ? up++ : down--)), kSpan);
    }
  } else {
    for (std::int64_t place = from; place < to; ++place) visitor.weigh(static_cast<std::uint32_t>(entry(place)), q.tailLength);
  }

  // Outward on each side: the agreement with the end bytes is the smaller
  // of the last entry's and that entry's with the next.
  const auto side = [&](std::int64_t place, int step) {
    if (place < 0 || place >= size) return;
    std::int64_t agreed;
    compare(entry(place), &agreed);
    for (;;) {
      if (agreed < 0 || !visitor.worth(agreed)) return;
      visitor.weigh(static_cast<std::uint32_t>(entry(place)), agreed);
      const std::int64_t next = place + step;
      if (next < 0 || next >= size) return;
      const std::uint8_t a = order.agree[static_cast<std::size_t>(step > 0 ? place : next)];
      if (a == kPrefixDiffers) return;
      if (a == kAtLeast && agreed >= kAtLeast) {
        compare(entry(next), &agreed);
      } else {
        agreed = std::min<std::int64_t>(agreed, a);
      }
      place = next;
    }
  };
  side(from - 1, -1);
  side(to, 1);
  return result;
}

}  // namespace diffengine
