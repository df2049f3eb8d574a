// The builder's growable containers: DynArray and the chunked ByteStream and
// BitStream that hold the parts of a delta while it is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diffengine/memory.h"

struct z_stream_s;  // zlib's stream state

namespace diffengine {

constexpr std::size_t StreamChunkSize = 30000;

// Natural logarithm computed the same way on every platform.
double portableLog(double x);

// A growable array of small values (numbers, or pointers it does not own).
// Growth reserves `growth` spare elements; shrinking keeps the storage.
template <typename T>
class DynArray {
 public:
  explicit DynArray(std::uint32_t initialCount = 0) {
    if (initialCount > 0) resize(initialCount);
  }
  ~DynArray() { std::free(data_); }
  DynArray(const DynArray&) = delete;
  DynArray& operator=(const DynArray&) = delete;

  void resize(std::uint32_t n) {
    if (n > count_ && n > capacity_) {
      const std::uint64_t wanted = std::uint64_t{n} + growth_;
      void* grown = wanted * sizeof(T) <= SIZE_MAX ? std::realloc(data_, static_cast<std::size_t>(wanted * sizeof(T)))
                                                   : nullptr;
      if (grown == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text, "DynArray: Kein Speicher, um auf %ld Elemente zu erweitern!",
                      static_cast<long>(n));
        fail(text);
      }
      data_ = static_cast<T*>(grown);
      capacity_ = static_cast<std::uint32_t>(wanted);
    }
    count_ = n;
  }
  void clear() { resize(0); }

  void insertAt(T value, std::uint32_t index) {
    if (index > count_) fail("DynArray: Illegaler Versuch nach dem Ende des Arrays einzufuegen!");
    resize(count_ + 1);
    std::memmove(data_ + index + 1, data_ + index, (count_ - 1 - index) * sizeof(T));
    data_[index] = value;
  }
  void append(T value) { insertAt(value, count_); }

  // The caller guarantees index < count; an empty array gives 0.
  T removeAt(std::uint32_t index) {
    if (count_ == 0) return T();
    const T value = data_[index];
    std::memmove(data_ + index, data_ + index + 1, (count_ - 1 - index) * sizeof(T));
    --count_;
    return value;
  }
  T at(std::uint32_t index) const { return data_ == nullptr || index >= count_ ? T() : data_[index]; }
  long find(T value) const {
    for (std::uint32_t i = 0; i < count_; ++i) {
      if (data_[i] == value) return static_cast<long>(i);
    }
    return -1;
  }
  std::uint32_t count() const { return count_; }
  std::uint32_t capacity() const { return capacity_; }

 private:
  T* data_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 0;
  std::uint32_t growth_ = 1000;
};

// Where a stream writes itself.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual bool write(const void* data, std::size_t n) = 0;
};

// Raw deflate (window bits -15, as a patch body) of what is written to it,
// at `level`; the compressed bytes go to `output` when one is given and are
// counted either way. After a zlib or output failure every call is false.
class DeflateSink : public BlockSink {
 public:
  using Output = std::function<bool(const void* data, std::size_t n)>;
  explicit DeflateSink(int level, Output output = nullptr);
  ~DeflateSink() override;
  DeflateSink(const DeflateSink&) = delete;
  DeflateSink& operator=(const DeflateSink&) = delete;

  static constexpr std::size_t kWindow = 32768;  // how far back a deflate stream refers

  bool started() const { return z_ != nullptr; }
  // Before the first write: the stream may refer back into these bytes,
  // as if they had come just before it (at most the last kWindow count).
  bool prime(const void* bytes, std::size_t n);
  bool write(const void* data, std::size_t n) override;
  // Ends the stream; with `last` false, ends it at a byte boundary without
  // its final block, so that another stream may follow it as one.
  bool finish(bool last = true);
  std::uint64_t compressedBytes() const { return produced_; }

 private:
  // One deflate call; its zlib result.
  int pump(int flush);

  Output output_;
  std::unique_ptr<::z_stream_s> z_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t produced_ = 0;
  bool ok_ = false;
};

// The same raw deflate of what is written to it, cut into pieces of kPiece
// bytes (by default) that are compressed on up to `threads` threads; all
// but the last end at a byte boundary without a final block, so the pieces
// make one stream, and its bytes are the same for any number of threads.
// - kZlib: zlib at `level`, each piece primed with the 32 KiB before it.
//   What is shorter than a piece is one piece, the very bytes of DeflateSink.
// - kStrongest: libdeflate at `level` (12 is its strongest), each piece on
//   its own (it takes no dictionary); a piece it cannot end so is made by
//   zlib at level 9 instead.
class PieceDeflateSink : public BlockSink {
 public:
  // Large enough that the bodies of most patches are one piece.
  static constexpr std::size_t kPiece = std::size_t{16} << 20;
  enum class Coder { kZlib, kStrongest };
  PieceDeflateSink(int level, int threads, DeflateSink::Output output, Coder coder = Coder::kZlib,
                   std::size_t pieceBytes = kPiece);
  ~PieceDeflateSink() override;
  PieceDeflateSink(const PieceDeflateSink&) = delete;
  PieceDeflateSink& operator=(const PieceDeflateSink&) = delete;

  bool started() const { return started_; }
  bool write(const void* data, std::size_t n) override;
  bool finish();

 private:
  struct Piece;
  // Starts compressing the bytes gathered so far as one piece.
  void seal(bool last);
  // Writes out the oldest piece in flight once it is compressed.
  void drainOne();

  int level_;
  int threads_;
  DeflateSink::Output output_;
  Coder coder_;
  std::size_t pieceBytes_;
  bool started_ = false;
  bool ok_ = true;
  std::vector<std::uint8_t> gathered_;
  std::vector<std::uint8_t> before_;  // the last 32 KiB of the piece before
  std::deque<std::unique_ptr<Piece>> inFlight_;
};

class StringSink : public BlockSink {
 public:
  bool write(const void* data, std::size_t n) override {
    bytes.append(static_cast<const char*>(data), n);
    return true;
  }
  std::string bytes;
};

// The terms p log2 p of the byte counts of windows, kept per window length
// (up to kMaxCached bytes): the encoder asks for the same few lengths again
// and again. Owned by the one who asks, not by a thread: objects with a
// destructor in thread-local storage are not safe on every platform.
class EntropyTerms {
 public:
  // The terms of every count for windows of `length` bytes: t[0] is 0, so
  // that adding it leaves a sum's bits as skipping it would (no sum is -0).
  // kUnknown marks a term not computed yet.
  const double* termsFor(std::uint64_t length);
  double term(std::uint64_t count) {
    double& t = terms_[count];
    if (t == kUnknown) t = compute(count, length_);
    return t;
  }
  static constexpr std::uint64_t kMaxCached = 1 << 16;
  static double compute(std::uint64_t count, std::uint64_t length);

 private:
  static constexpr double kUnknown = 1.0;  // every term is at most 0
  static constexpr std::size_t kLengths = 32;  // tables kept, by length modulo this (windows differ little)
  std::uint64_t length_ = 0;
  double* terms_ = nullptr;
  std::vector<double> byLength_[kLengths];
};

// Bytes in chunks of 30000: full chunks in the base array, oldest first,
// and a current chunk being filled. No byte ever moves.
class ByteStream : public DynArray<std::uint8_t*> {
 public:
  // Chunks come from `memory`, which outlives the stream.
  explicit ByteStream(Memory& memory) : memory_(memory) {}
  ~ByteStream() { clear(); }

  void putByte(std::uint8_t b);
  void putBytes(const std::uint8_t* source, long n);
  std::uint64_t sizeInBytes() const;
  std::uint8_t byteAt(std::uint64_t position) const;
  // stored[position + k] -= / += reference[k] (mod 256); may cross chunks.
  // With `counts`, the counts of a range holding the bytes follow them.
  void subtractAt(std::uint64_t position, const std::uint8_t* reference, std::uint64_t n,
                  std::uint64_t* counts = nullptr);
  void addAt(std::uint64_t position, const std::uint8_t* reference, std::uint64_t n, std::uint64_t* counts = nullptr);
  // Sum of p log2 p over the byte values of the range: minus its entropy in
  // bits per byte (0 for one repeated value, -8 for 256 distinct values).
  double entropyOf(std::uint64_t start, std::uint64_t length) const;
  // The same from the counts of each byte value in a range of `length` bytes.
  // With a cache of terms the same bits come faster.
  static double entropyOfCounts(const std::uint64_t* counts, std::uint64_t length, EntropyTerms* cache = nullptr);
  void countBytes(std::uint64_t start, std::uint64_t length, std::uint64_t* counts) const;
  bool writeTo(BlockSink& sink) const;
  void clear();

 protected:
  std::uint8_t* byteAddress(std::uint64_t position) const;
  void newChunk(const char* purpose);
  void chunkFilled(const char* purpose);

  Memory& memory_;
  std::uint8_t* chunk_ = nullptr;
  std::uint8_t* cursor_ = nullptr;
};

// The counts of the byte values of a window of a stream that only moves
// forward: the bytes that leave it at the front are taken out and those
// that enter at the back put in, instead of counting it again.
class WindowCounts {
 public:
  // The counts of [start, end); start and end at or after the last ones
  // (else the window is counted anew). Changes to the window's bytes must
  // go through the counts (subtractAt and addAt with them).
  std::uint64_t* to(const ByteStream& stream, std::uint64_t start, std::uint64_t end);

 private:
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t of_[256] = {};
};

// Bits, eight to a byte, the first bit in the least significant place.
class BitStream : public ByteStream {
 public:
  using ByteStream::ByteStream;
  void putBit(bool b);
  std::uint64_t sizeInBytes() const;
  // Stores a pending partial byte (high bits zero) for the write, then steps
  // back over it so that further bits complete the same byte.
  bool writeTo(BlockSink& sink);
  void clear();

 private:
  std::uint32_t bitIndex_ = 0;
  std::uint8_t partial_ = 0;
};

}  // namespace diffengine
