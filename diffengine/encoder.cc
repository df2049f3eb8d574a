#include "diffengine/encoder.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "patchformat/delta.h"
#include "platform/files.h"

namespace diffengine {
namespace {

constexpr std::int64_t kLargestMismatch = 249;
constexpr std::size_t kLookAheadEntries = 2000;
constexpr std::int64_t kSourceTailGuard = 200;  // mismatch references stay this far before the source end

std::string bytesLine(std::uint64_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "%" PRIu64 " Bytes\n", n);
  return text;
}

// A percentage over a count of items (or bytes): the number of thresholds
// count * i / 100 (i = 1 .. 100) that the items done have passed.
class Percent {
 public:
  Percent(EngineHost& host, int phase, std::uint64_t total) : host_(host), phase_(phase), total_(total) {}
  void advance(std::uint64_t n = 1) {
    done_ += n;
    const int before = percent_;
    while (percent_ < 100 && total_ * static_cast<std::uint64_t>(percent_ + 1) / 100 < done_) ++percent_;
    if (percent_ != before) host_.progress(phase_, percent_);
  }

 private:
  EngineHost& host_;
  int phase_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  int percent_ = 0;
};

}  // namespace

class DeltaEncoder::Pass {
 public:
  Pass(DeltaEncoder& out, const EncoderInput& in, Representation& records, EngineHost& host)
      : out_(out), in_(in), records_(records), host_(host), S_(static_cast<std::int64_t>(in.sourceSize)),
        g_(in.mismatchGroup) {}

  void run() {
    host_.write(platform::Stream::kErr, "\b\b\b\b");
    host_.write(platform::Stream::kOut, bytesLine(8 * records_.size() + (in_.endSize - in_.copiedBytes)));
    presort();
    host_.write(platform::Stream::kErr, "\b\b\b\b");
    host_.write(platform::Stream::kOut, bytesLine(out_.mismatchRaw.sizeInBytes() + 8 * (records_.size() - removed_) +
                                            out_.groupLengths_.sizeInBytes() + (in_.endSize - in_.copiedBytes)));
    prepack();
    const double raw = out_.mismatchRaw.entropyOf(0, out_.mismatchRaw.sizeInBytes());
    const double differences = out_.mismatchDifferences.entropyOf(0, out_.mismatchDifferences.sizeInBytes());
    out_.rawMismatch = !(raw < differences);
    host_.write(platform::Stream::kErr, "\b\b\b\b");
    host_.write(platform::Stream::kOut,
                bytesLine(out_.numbers.sizeInBytes() + out_.bitsA.sizeInBytes() + out_.bitsB.sizeInBytes() +
                          out_.literalsSize() + out_.mismatch().sizeInBytes()));
  }

 private:
  // A byte of the address space: the source, then the end file.
  std::uint8_t byteAt(std::uint64_t address) const {
    return address < in_.sourceSize ? in_.source[address] : in_.end[address - in_.sourceSize];
  }
  const std::uint8_t* bytesAt(std::uint64_t address) const {
    return address < in_.sourceSize ? in_.source + address : in_.end + (address - in_.sourceSize);
  }

  void mismatchByte(std::uint8_t x) {
    out_.mismatchRaw.putByte(x);
    out_.mismatchDifferences.putByte(static_cast<std::uint8_t>(x - byteAt(reference_)));
    ++reference_;
  }

  // Second pass: the r bytes that follow each copy become mismatch bytes,
  // shortening (or removing) the records they come from.
  void presort() {
    host_.progress(2, 0);
    Percent percent(host_, 2, in_.copies);
    copies_ = in_.copies;
    std::int64_t r = 0;
    std::uint32_t countdown = 0;
    for (std::uint64_t i = 0; i < records_.size(); ++i) {
      Record& rec = records_[i];
      if (rec.n < 0) {
        const std::int64_t n = -rec.n;
        if (r < n) {
          for (std::int64_t j = 0; j < r; ++j) mismatchByte(in_.end[rec.at + j]);
          rec = Record{-(n - r), static_cast<std::uint32_t>(rec.at + r)};
          r = 0;
        } else {
          for (std::int64_t j = 0; j < n; ++j) mismatchByte(in_.end[rec.at + j]);
          r -= n;
          rec.n = 0;
          ++removed_;
        }
        continue;
      }
      const std::int64_t n = rec.n;
      const std::uint64_t a = rec.at;
      if (r < n) {
        for (std::int64_t j = 0; j < r; ++j) mismatchByte(byteAt(a + j));
        rec = Record{n - r, static_cast<std::uint32_t>(a + r)};
        if (countdown == 0) {
          const std::int64_t e = mismatchLength(i);
          out_.groupLengths_.putByte(static_cast<std::uint8_t>(e));
          mismatchLength_ = e;
          countdown = g_;
        }
        reference_ = a + n;
        --countdown;
        r = mismatchLength_;
      } else {
        for (std::int64_t j = 0; j < n; ++j) mismatchByte(byteAt(a + j));
        r -= n;
        rec.n = 0;
        ++removed_;
        --copies_;
      }
      percent.advance();
    }
    if (r > 0) failNumbered(kEngineSelfTestFailed, "");
    host_.progress(2, 100);
  }

  // The mismatch length of the group that starts at copy `first`.
  std::int64_t mismatchLength(std::uint64_t first) {
    if (in_.end == nullptr) return 0;
    lookAhead_.clear();
    std::uint32_t budget = g_ + 5u;
    for (std::uint64_t j = first; j < records_.size() && lookAhead_.size() < kLookAheadEntries; ++j) {
      const Record& rec = records_[j];
      if (rec.n > 0) {
        if (budget == 0) break;
        lookAhead_.push_back(0);
        --budget;
      } else {
        lookAhead_.push_back(-rec.n);
        if (budget == 0) break;
      }
    }
    std::int64_t best = 0;
    std::int64_t bestCost = 0;
    for (std::int64_t e = 0; e <= kLargestMismatch; ++e) {
      std::int64_t cost = 0;
      for (std::int64_t x : lookAhead_) {
        if (x == 0) {
          cost += 4;
        } else if (x > e) {
          cost += x + 2;
        } else if (x == e) {
          cost += x;
        } else {
          cost += x + (e - x) * 195 / 100;
        }
      }
      if (e == 0 || cost < bestCost) {
        best = e;
        bestCost = cost;
      }
      if (e >= 3 && cost > 3 * bestCost) break;
    }
    for (std::int64_t e = best; e > 0; --e) {
      const Verdict v = verify(first, e);
      if (v == Verdict::kAccepted) return e;
      if (v == Verdict::kNone) return 0;
    }
    return 0;
  }

  enum class Verdict { kAccepted, kFailed, kNone };

  // Walks the next g copies as the second pass will see them, with mismatch
  // length e: references must stay 200 bytes before the source end and no
  // mismatch byte may run past the last record.
  Verdict verify(std::uint64_t first, std::int64_t e) const {
    std::int64_t r = 0;
    std::uint32_t budget = g_;
    for (std::uint64_t j = first; j < records_.size(); ++j) {
      const Record& rec = records_[j];
      if (rec.n < 0) {
        const std::int64_t n = -rec.n;
        r = n < r ? r - n : 0;
        if (r == 0 && budget == 0) return Verdict::kAccepted;
        continue;
      }
      const std::int64_t n = rec.n;
      const auto a = static_cast<std::int64_t>(rec.at);
      if (a == S_) return Verdict::kNone;
      if (n <= r) {
        r -= n;
        if (r == 0 && budget == 0) return Verdict::kAccepted;
        continue;
      }
      if (budget == 0) return Verdict::kAccepted;
      r = e;
      if (a >= S_) return Verdict::kNone;
      if (a + n + e > S_ - kSourceTailGuard) return Verdict::kFailed;
      --budget;
    }
    return r == 0 ? Verdict::kAccepted : Verdict::kFailed;
  }

  void number(std::int64_t x) { patchformat::encodeSignedNumber(x, range_, out_); }

  // Third pass: instructions, group lengths and inserted bytes.
  void prepack() {
    range_ = in_.selfReference ? in_.sourceSize + in_.endSize : std::max(in_.sourceSize, in_.endSize);
    host_.progress(3, 0);
    // Over the end file's bytes: long inserts take most of this pass's time
    // (their chunks are weighed one by one), copies little.
    Percent percent(host_, 3, in_.endSize);
    std::uint64_t P = 0;
    std::uint64_t C = 0;
    std::uint64_t M = 0;
    std::uint32_t countdown = 0;
    std::uint64_t group = 0;
    std::uint64_t o = 0;
    WindowCounts window;  // the windows move forward through the literals
    EntropyTerms terms;   // of the windows' lengths
    for (std::uint64_t i = 0; i < records_.size(); ++i) {
      const Record rec = records_[i];
      if (rec.n == 0) continue;
      if (rec.n > 0) {
        number(rec.n);
        number(static_cast<std::int64_t>(rec.at) - static_cast<std::int64_t>(P + C));
        P = rec.at;
        C = static_cast<std::uint64_t>(rec.n);
        if (countdown == 0) {
          M = out_.groupLengths_.byteAt(group++);
          out_.numbers.putByte(static_cast<std::uint8_t>(M));
          countdown = g_;
        }
        --countdown;
        o += C + M;
        percent.advance(C + M);
        continue;
      }
      const auto n = static_cast<std::uint64_t>(-rec.n);
      number(rec.n);
      const std::uint64_t base = out_.literals.sizeInBytes();
      appendInsert(rec.at, n);
      const std::uint64_t limit = P < in_.sourceSize ? in_.sourceSize : in_.sourceSize + o;
      const std::uint64_t b = in_.literalBlockSize;
      const std::int64_t margin = in_.encoderMargin;
      for (std::uint64_t k = 0; k < n; k += b) {
        const std::uint64_t r = n - k;
        const bool last = b <= r && r < 2 * b;  // the rest goes as one chunk
        const std::uint64_t len = last ? r : std::min(b, r);
        std::int64_t start = static_cast<std::int64_t>(base + k) - margin;
        std::int64_t windowLength = static_cast<std::int64_t>(std::min(b, r)) + margin +
                                    static_cast<std::int64_t>(last ? r - b : 0);
        if (start < 0) {
          windowLength += start;
          start = 0;
        }
        const std::uint64_t reference = P + C + M + k;
        bool raw = true;
        if (in_.end != nullptr && reference + len < limit) {
          const auto ws = static_cast<std::uint64_t>(start);
          const auto wl = static_cast<std::uint64_t>(windowLength);
          // The chunk ends the window: its counts follow the subtraction.
          std::uint64_t* counts = window.to(out_.literals, ws, ws + wl);
          const double before = ByteStream::entropyOfCounts(counts, wl, &terms);
          out_.literals.subtractAt(base + k, bytesAt(reference), len, counts);
          const double after = ByteStream::entropyOfCounts(counts, wl, &terms);
          raw = !(after > before);
          if (raw) out_.literals.addAt(base + k, bytesAt(reference), len, counts);
        }
        out_.bitsA.putBit(raw);
        percent.advance(len);
        if (last) break;
      }
      o += n;
    }
    host_.progress(3, 100);
  }

  void appendInsert(std::uint64_t offset, std::uint64_t n) {
    if (in_.end != nullptr) {
      out_.literals.putBytes(in_.end + offset, static_cast<long>(n));
      return;
    }
    auto& pieces = out_.pieces_;
    if (!pieces.empty() && pieces.back().first + pieces.back().second == offset) {
      pieces.back().second += n;
    } else {
      pieces.emplace_back(offset, n);
    }
    out_.pieceBytes_ += n;
  }

  DeltaEncoder& out_;
  const EncoderInput& in_;
  Representation& records_;
  EngineHost& host_;
  const std::int64_t S_;
  const std::uint32_t g_;
  std::uint64_t reference_ = 0;  // address of the next mismatch byte's reference
  std::int64_t mismatchLength_ = 0;
  std::uint64_t removed_ = 0;
  std::uint64_t copies_ = 0;
  std::uint64_t range_ = 0;
  std::vector<std::int64_t> lookAhead_;
};

void DeltaEncoder::encode(const EncoderInput& input, Representation& records, EngineHost& host) {
  clear();
  pieceFile_ = input.endName;
  Pass(*this, input, records, host).run();
}

void DeltaEncoder::clear() {
  numbers.clear();
  bitsA.clear();
  bitsB.clear();
  literals.clear();
  mismatchRaw.clear();
  mismatchDifferences.clear();
  groupLengths_.clear();
  pieces_.clear();
  pieceBytes_ = 0;
  rawMismatch = true;
}

bool DeltaEncoder::writeLiterals(BlockSink& sink) const {
  if (!literals.writeTo(sink)) return false;
  if (pieces_.empty()) return true;
  const std::unique_ptr<platform::File> file = files_.open(pieceFile_, platform::File::Mode::kRead);
  if (!file) return false;
  std::vector<std::uint8_t> buffer(1 << 16);
  for (const auto& piece : pieces_) {
    std::uint64_t offset = piece.first;
    std::uint64_t left = piece.second;
    while (left > 0) {
      const std::size_t n = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
      if (!file->readAt(offset, buffer.data(), n) || !sink.write(buffer.data(), n)) return false;
      offset += n;
      left -= n;
    }
  }
  return true;
}

}  // namespace diffengine
