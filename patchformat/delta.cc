#include "patchformat/delta.h"

#include <algorithm>
#include <memory>
#include <cstring>
#include <exception>
#include <vector>

namespace patchformat {

const char* deltaErrorText(DeltaError error) {
  switch (error) {
    case DeltaError::kNone: return "";
    case DeltaError::kCorrupt: return "Error, patch is corrupted!";
    case DeltaError::kWriteFailed: return "Error, writing patched file failed!";
    case DeltaError::kSourceReadFailed: return "Error, reading source file failed!";
    case DeltaError::kPatchReadFailed: return "Error, reading patch file failed!";
  }
  return "";
}

namespace {

// Raised inside the decoder, turned into its result at the top.
struct Failure : std::exception {
  explicit Failure(DeltaError e) : error(e) {}
  const char* what() const noexcept override { return deltaErrorText(error); }
  DeltaError error;
};
[[noreturn]] void fail(DeltaError e) { throw Failure{e}; }

// A stream of known length, read through a buffer. Reading past its length
// is the stream's own kind of failure.
class StreamIn {
 public:
  StreamIn(ByteReader* reader, std::uint32_t length, DeltaError shortError)
      : reader_(reader), remaining_(length), shortError_(shortError) {}

  std::uint64_t remaining() const { return remaining_ + (end_ - pos_); }

  std::uint8_t byte() {
    if (pos_ == end_) refill();
    return buffer_[pos_++];
  }

  void bytes(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos_ == end_) refill();
      const std::size_t take = std::min(n, end_ - pos_);
      std::memcpy(out, buffer_.data() + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
    }
  }

 private:
  void refill() {
    if (remaining_ == 0 || reader_ == nullptr) fail(shortError_);
    if (buffer_.empty()) buffer_.resize(kBuffer);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBuffer));
    const long got = reader_->read(buffer_.data(), want);
    if (got < 0) fail(DeltaError::kPatchReadFailed);
    if (got == 0) fail(shortError_);
    remaining_ -= static_cast<std::uint64_t>(got);
    pos_ = 0;
    end_ = static_cast<std::size_t>(got);
  }

  static constexpr std::size_t kBuffer = 65536;
  ByteReader* reader_;
  std::uint64_t remaining_;
  DeltaError shortError_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// Bits, least significant first within each byte.
class BitsIn {
 public:
  explicit BitsIn(StreamIn* bytes) : bytes_(bytes) {}
  bool bit() {
    if (index_ == 0) current_ = bytes_->byte();
    const bool b = (current_ >> index_) & 1;
    index_ = (index_ + 1) & 7;
    return b;
  }

 private:
  StreamIn* bytes_;
  std::uint8_t current_ = 0;
  int index_ = 0;
};

class Decoder {
 public:
  Decoder(const DeltaParams& params, DeltaStreams& s, RandomReader& source, DeltaOutput& output)
      : p_(params),
        range_(params.positionRange()),
        numbers_(s.reader[kNumberStream], s.length[kNumberStream], DeltaError::kCorrupt),
        bytesA_(s.reader[kBitStreamA], s.length[kBitStreamA], DeltaError::kCorrupt),
        bytesB_(s.reader[kBitStreamB], s.length[kBitStreamB], DeltaError::kCorrupt),
        literals_(s.reader[kLiteralStream], s.length[kLiteralStream], DeltaError::kPatchReadFailed),
        mismatches_(s.reader[kMismatchStream], s.length[kMismatchStream], DeltaError::kPatchReadFailed),
        bitsA_(&bytesA_),
        bitsB_(&bytesB_),
        source_(source),
        output_(output) {}

  void run() {
    // A block size of 0 would cut an insert into empty chunks forever.
    if (p_.literalBlockSize == 0) fail(DeltaError::kCorrupt);
    const std::int64_t S = p_.sourceSize;
    while (numbers_.remaining() > 0) {
      const std::int64_t e = number();
      if (e == 0) {
        --group_;
      } else if (e > 0) {
        copy(e, S);
      } else {
        insert(-e, S);
      }
    }
  }

 private:
  std::int64_t number() {
    std::uint64_t m = numbers_.byte();
    if (range_ > 0xFF && bitsB_.bit()) {
      m |= std::uint64_t{numbers_.byte()} << 8;
      if (range_ > 0xFFFF && bitsA_.bit()) {
        m |= std::uint64_t{numbers_.byte()} << 16;
        if (range_ > 0xFFFFFF && bitsA_.bit()) m |= std::uint64_t{numbers_.byte()} << 24;
      }
    }
    const bool negative = bitsB_.bit();
    return negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
  }

  void emit(const std::uint8_t* data, std::size_t n) {
    // More output than the target size is a corrupt delta, never written.
    if (n > p_.targetSize - produced_) fail(DeltaError::kCorrupt);
    if (!output_.append(data, n)) fail(DeltaError::kWriteFailed);
    produced_ += n;
  }

  // Reference bytes for mismatch bytes and difference chunks: from the
  // source when `sideIsSource`, else from the output already written.
  void reference(bool sideIsSource, std::int64_t address, std::uint8_t* out, std::size_t n) {
    const std::int64_t S = p_.sourceSize;
    if (sideIsSource) {
      if (address < 0 || address + static_cast<std::int64_t>(n) > S ||
          !source_.readAt(static_cast<std::uint64_t>(address), out, n)) {
        fail(DeltaError::kSourceReadFailed);
      }
    } else {
      const std::int64_t q = address - S;
      if (q < 0 || q + static_cast<std::int64_t>(n) > static_cast<std::int64_t>(produced_) ||
          !output_.readBack(static_cast<std::uint64_t>(q), out, n)) {
        fail(DeltaError::kCorrupt);
      }
    }
  }

  void copy(std::int64_t e, std::int64_t S) {
    const std::int64_t d = number();
    const std::int64_t p = lastPos_ + lastLen_ + d;
    if (group_ == 0) {
      mismatchLength_ = numbers_.byte();
      group_ = p_.mismatchGroup;
    }
    --group_;
    lastLen_ = e;
    lastPos_ = p;

    if (e > static_cast<std::int64_t>(p_.targetSize - produced_)) fail(DeltaError::kCorrupt);
    const bool fromSource = p < S;
    if (p < 0) fail(DeltaError::kWriteFailed);
    if (fromSource) {
      if (p + e > S) fail(DeltaError::kWriteFailed);
      for (std::int64_t done = 0; done < e;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(e - done, kCopyBlock));
        if (!source_.readAt(static_cast<std::uint64_t>(p + done), buffer_, n)) fail(DeltaError::kWriteFailed);
        emit(buffer_, n);
        done += static_cast<std::int64_t>(n);
      }
    } else {
      // From the output in blocks of at most 1000 bytes, each read from
      // what was written before it is appended: overlapping copies repeat.
      for (std::int64_t done = 0; done < e;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(e - done, kOutputBlock));
        const std::int64_t q = p - S + done;
        if (q + static_cast<std::int64_t>(n) > static_cast<std::int64_t>(produced_) ||
            !output_.readBack(static_cast<std::uint64_t>(q), buffer_, n)) {
          fail(DeltaError::kWriteFailed);
        }
        emit(buffer_, n);
        done += static_cast<std::int64_t>(n);
      }
    }

    if (mismatchLength_ > 0) {
      std::uint8_t ref[256];
      std::uint8_t bytes[256];
      const std::size_t m = mismatchLength_;
      reference(fromSource, p + e, ref, m);
      mismatches_.bytes(bytes, m);
      if (!(p_.flags & kDeltaRawMismatch)) {
        for (std::size_t i = 0; i < m; ++i) bytes[i] = static_cast<std::uint8_t>(bytes[i] + ref[i]);
      }
      emit(bytes, m);
    }
  }

  void insert(std::int64_t n, std::int64_t S) {
    const std::int64_t b = p_.literalBlockSize;
    if (n > static_cast<std::int64_t>(p_.targetSize - produced_)) fail(DeltaError::kCorrupt);
    const bool sideIsSource = lastPos_ < S;
    const std::int64_t base = lastPos_ + lastLen_ + mismatchLength_;
    for (std::int64_t k = 0;; k += b) {
      const std::int64_t r = n - k;
      const std::size_t len = static_cast<std::size_t>(r < 2 * b ? r : b);
      std::uint8_t chunk[512];
      literals_.bytes(chunk, len);
      if (!bitsA_.bit()) {
        std::uint8_t ref[512];
        reference(sideIsSource, base + k, ref, len);
        for (std::size_t i = 0; i < len; ++i) chunk[i] = static_cast<std::uint8_t>(chunk[i] + ref[i]);
      }
      emit(chunk, len);
      if (r < 2 * b) break;
    }
  }

  static constexpr std::int64_t kOutputBlock = 1000;
  static constexpr std::int64_t kCopyBlock = 65536;

  const DeltaParams& p_;
  const std::uint64_t range_;
  StreamIn numbers_, bytesA_, bytesB_, literals_, mismatches_;
  BitsIn bitsA_, bitsB_;
  RandomReader& source_;
  DeltaOutput& output_;
  std::uint64_t produced_ = 0;
  std::int64_t lastPos_ = 0;         // P
  std::int64_t lastLen_ = 0;         // C
  std::int64_t mismatchLength_ = 0;  // M
  std::int64_t group_ = 0;           // G; with g = 0 it only falls below 0 and one length serves all
  std::uint8_t buffer_[kCopyBlock];
};

}  // namespace

DeltaError decodeDelta(const DeltaParams& params, DeltaStreams& streams, RandomReader& source,
                       DeltaOutput& output) {
  try {
    auto decoder = std::make_unique<Decoder>(params, streams, source, output);
    decoder->run();
  } catch (const Failure& f) {
    return f.error;
  }
  return DeltaError::kNone;
}

}  // namespace patchformat
