// Byte sources and sinks that the format readers and the delta decoder work
// on. Files are adapted to them by the engines; memory versions serve tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

class MemoryOutput : public DeltaOutput {
 public:
  bool append(const void* data, std::size_t n) override;
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override;
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

}  // namespace patchformat
