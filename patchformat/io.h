// Byte sources and sinks that the format readers and the delta decoder work
// on. Files are adapted to them by the engines; memory versions serve tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace patchformat {

// A sequential source of bytes.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to n bytes; returns the count (fewer than n only at the end),
  // or -1 on an I/O error.
  virtual long read(void* buffer, std::size_t n) = 0;
};

// A source that can be read at any position (a source state of a delta).
class RandomReader {
 public:
  virtual ~RandomReader() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly n bytes at `offset`; false when they cannot all be read.
  virtual bool readAt(std::uint64_t offset, void* buffer, std::size_t n) = 0;
};

// The output of a delta: appended to, and read back where copies reach
// into the part already produced.
class DeltaOutput {
 public:
  virtual ~DeltaOutput() = default;
  virtual bool append(const void* data, std::size_t n) = 0;
  // Reads n bytes already appended, starting at `offset`.
  virtual bool readBack(std::uint64_t offset, void* buffer, std::size_t n) = 0;
};

class MemoryReader : public ByteReader {
 public:
  MemoryReader(const void* data, std::size_t n) : data_(static_cast<const std::uint8_t*>(data)), size_(n) {}
  explicit MemoryReader(const std::string& data) : MemoryReader(data.data(), data.size()) {}
  long read(void* buffer, std::size_t n) override;
  std::size_t remaining() const { return size_ - position_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class MemoryRandomReader : public RandomReader {
 public:
  explicit MemoryRandomReader(const std::string& data) : data_(data) {}
  std::uint64_t size() const override { return data_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override;

 private:
  const std::string& data_;
};

// A file of the programs' own file classes (anything with readAt(offset,
// buffer, n) and size(&result)) read as a RandomReader; its size is taken once.
template <typename File>
class FileReader : public RandomReader {
 public:
  explicit FileReader(File& file) : file_(file) { file_.size(&size_); }
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override { return file_.readAt(offset, buffer, n); }

 private:
  File& file_;
  std::uint64_t size_ = 0;
};

// Reads another RandomReader through a cache of aligned blocks, each block
// in the slot of its number: copies that jump back and forth within a few
// MiB of a source read each block once, and memory stays the same for any
// size. Large reads bypass the cache.
class CachedReader : public RandomReader {
 public:
  explicit CachedReader(RandomReader& inner) : inner_(inner) {}
  std::uint64_t size() const override { return inner_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override;

 private:
  static constexpr std::size_t kBlock = 1 << 12;
  static constexpr std::size_t kSlots = 512;
  // The slot holding block `block`, read first when it holds another.
  const std::uint8_t* blockData(std::uint64_t block);

  RandomReader& inner_;
  std::size_t slots_ = 0;  // at most kSlots, set with the cache
  std::vector<std::uint8_t> cache_;
  std::vector<std::uint64_t> slotBlock_;  // block number in each slot; ~0 when empty
};

// `length` bytes of a source from `offset` on, read in order. The source
// is a RandomReader, or a file of the programs' own file classes (anything
// with readAt(offset, buffer, n)).
template <typename Source>
class RangeReaderOf : public ByteReader {
 public:
  RangeReaderOf(Source& in, std::uint64_t offset, std::uint64_t length)
      : in_(in), position_(offset), remaining_(length) {}
  long read(void* buffer, std::size_t n) override {
    const std::size_t take = remaining_ < n ? static_cast<std::size_t>(remaining_) : n;
    if (take == 0) return 0;
    if (!in_.readAt(position_, buffer, take)) return -1;
    position_ += take;
    remaining_ -= take;
    return static_cast<long>(take);
  }

 private:
  Source& in_;
  std::uint64_t position_;
  std::uint64_t remaining_;
};
using RangeReader = RangeReaderOf<RandomReader>;

class MemoryOutput : public DeltaOutput {
 public:
  bool append(const void* data, std::size_t n) override;
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override;
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

}  // namespace patchformat
