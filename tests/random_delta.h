// Random deltas with the target they must produce: instructions are chosen
// from the target's point of view (copy this, insert that), then written
// with the format's stream writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/delta_writer.h"

namespace testing_support {

struct RandomDelta {
  std::string source;
  std::string target;
  DeltaWriter writer;
};

inline void makeRandomDelta(std::mt19937& rng, RandomDelta* result) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  RandomDelta& d = *result;
  const int sourceSize = pick(0, 1) ? pick(0, 300) : pick(0, 70000);
  d.source.resize(static_cast<std::size_t>(sourceSize));
  for (char& c : d.source) c = static_cast<char>(pick(0, 3) ? pick('a', 'h') : pick(0, 255));
  const std::int64_t S = sourceSize;
  const std::uint8_t flags = static_cast<std::uint8_t>(pick(0, 3));
  const int groups[] = {0, 1, 2, 5, 190};
  const int blocks[] = {1, 2, 10, 20, 255};
  const std::uint16_t g = static_cast<std::uint16_t>(groups[pick(0, 4)]);
  const int b = blocks[pick(0, 4)];
  const bool add = !(flags & patchformat::kDeltaRawMismatch);

  struct Op {
    std::int64_t number;         // e
    std::int64_t displacement;   // d, copies only
    int groupLength;             // -1: no length byte
    std::string mismatch;        // stored mismatch bytes
    std::string literals;        // stored literal bytes (inserts)
    std::vector<bool> raw;       // per chunk
  };
  std::vector<Op> ops;
  std::string& out = d.target;
  std::int64_t P = 0, C = 0, M = 0, G = 0;
  auto ref = [&](bool sourceSide, std::int64_t address) -> int {
    if (sourceSide) return address >= 0 && address < S ? static_cast<unsigned char>(d.source[address]) : -1;
    const std::int64_t q = address - S;
    return q >= 0 && q < static_cast<std::int64_t>(out.size()) ? static_cast<unsigned char>(out[q]) : -1;
  };

  const int count = pick(0, 40);
  for (int i = 0; i < count; ++i) {
    const int kind = pick(0, 2);
    if (kind < 2 && (S > 0 || !out.empty())) {
      Op op{};
      const bool fromSource = S > 0 && (out.empty() || kind == 0);
      std::int64_t e = pick(1, 300);
      std::int64_t nextM = M;
      op.groupLength = -1;
      if (G == 0) {
        nextM = pick(0, 4);
        op.groupLength = static_cast<int>(nextM);
      }
      std::int64_t p;
      if (fromSource) {
        if (e + nextM > S) {
          if (nextM >= S) continue;
          e = S - nextM;
        }
        p = pick(0, static_cast<int>(S - e - nextM));
      } else {
        const std::int64_t have = static_cast<std::int64_t>(out.size());
        const std::int64_t firstBlock = std::min<std::int64_t>(e, 1000);
        const std::int64_t latest = std::min(have - firstBlock, have - nextM);
        if (latest < 0) continue;
        p = S + pick(0, static_cast<int>(latest));
      }
      if (G == 0) {
        M = nextM;
        G = g;
      }
      --G;
      op.number = e;
      op.displacement = p - (P + C);
      P = p;
      C = e;
      for (std::int64_t k = 0; k < e; ++k) {
        out.push_back(fromSource ? d.source[p + k] : out[p - S + k]);
      }
      for (std::int64_t k = 0; k < M; ++k) {
        const int r = ref(fromSource, p + e + k);
        const char wanted = static_cast<char>(pick(0, 255));
        op.mismatch.push_back(add ? static_cast<char>(wanted - r) : wanted);
        out.push_back(wanted);
      }
      ops.push_back(op);
    } else {
      Op op{};
      const std::int64_t n = pick(0, 1) ? pick(1, 30) : pick(1, 700);
      op.number = -n;
      const bool sourceSide = P < S;
      const std::int64_t base = P + C + M;
      for (std::int64_t k = 0;; k += b) {
        const std::int64_t r = n - k;
        const std::int64_t len = r < 2 * b ? r : b;
        bool raw = pick(0, 1) == 0;
        for (std::int64_t j = 0; j < len && !raw; ++j) raw = ref(sourceSide, base + k + j) < 0;
        std::string chunk;
        for (std::int64_t j = 0; j < len; ++j) {
          const char wanted = static_cast<char>(pick(0, 3) ? pick('a', 'h') : pick(0, 255));
          chunk.push_back(raw ? wanted : static_cast<char>(wanted - ref(sourceSide, base + k + j)));
          out.push_back(wanted);
        }
        op.literals += chunk;
        op.raw.push_back(raw);
        if (r < 2 * b) break;
      }
      ops.push_back(op);
    }
  }

  DeltaWriter& w = d.writer;
  w.params.sourceSize = static_cast<std::uint32_t>(S);
  w.params.targetSize = static_cast<std::uint32_t>(out.size());
  w.params.flags = flags;
  // A displacement can reach S + T; the larger of S and T may give too few
  // number bytes for it, and then the range must be the sum.
  std::uint64_t largest = 0;
  for (const Op& op : ops) {
    largest = std::max<std::uint64_t>(largest, static_cast<std::uint64_t>(std::abs(op.number)));
    largest = std::max<std::uint64_t>(largest, static_cast<std::uint64_t>(std::abs(op.displacement)));
  }
  const auto capacity = [](std::uint64_t range) -> std::uint64_t {
    return range <= 0xFF ? 0xFF : range <= 0xFFFF ? 0xFFFF : range <= 0xFFFFFF ? 0xFFFFFF : 0xFFFFFFFF;
  };
  if (capacity(w.params.positionRange()) < largest) w.params.flags |= patchformat::kDeltaRangeIsSum;
  w.params.mismatchGroup = g;
  w.params.literalBlockSize = static_cast<std::uint8_t>(b);
  for (const Op& op : ops) {
    if (op.number > 0) {
      w.copy(op.number, op.displacement, op.groupLength, op.mismatch);
    } else {
      w.number(op.number);
      std::size_t offset = 0;
      const std::size_t n = static_cast<std::size_t>(-op.number);
      for (std::size_t c = 0; c < op.raw.size(); ++c) {
        const std::size_t r = n - offset;
        const std::size_t len = r < 2u * b ? r : static_cast<std::size_t>(b);
        w.literals.putBytes(op.literals.data() + offset, len);
        w.putBitA(op.raw[c]);
        offset += len;
      }
    }
  }
}

}  // namespace testing_support
