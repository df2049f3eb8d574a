// The delta decoder's sources and sinks on files: a stream stored in a
// (temporary) file, a source state read at random places through a cache,
// and an output file that copies may read back from.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "patchformat/crc.h"
#include "patchformat/io.h"
#include "platform/files.h"

namespace applier {

// `length` bytes of `file` from `offset` on, read in order.
class FileStreamReader : public patchformat::ByteReader {
 public:
  FileStreamReader(platform::File& file, std::uint64_t offset, std::uint64_t length)
      : file_(file), position_(offset), remaining_(length) {}
  long read(void* buffer, std::size_t n) override;

 private:
  platform::File& file_;
  std::uint64_t position_;
  std::uint64_t remaining_;
};

// Reads through a cache of aligned blocks, each block in the slot of its
// number: copies that jump back and forth within a few MiB of the source
// read each block once, and memory stays the same for any file size.
class FileSource : public patchformat::RandomReader {
 public:
  explicit FileSource(platform::File& file);
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override;

 private:
  static constexpr std::size_t kBlock = 1 << 16;
  static constexpr std::size_t kSlots = 32;
  // The slot holding block `block`, read first when it holds another.
  const std::uint8_t* blockData(std::uint64_t block);

  platform::File& file_;
  std::uint64_t size_ = 0;
  std::size_t slots_ = 0;  // at most kSlots, set with the cache
  std::vector<std::uint8_t> cache_;
  std::vector<std::uint64_t> slotBlock_;  // block number in each slot; ~0 when empty
};

// Appends through a buffer; read-backs of bytes still in the buffer are
// served from it. Given a window, it also takes the output's checksum.
class FileOutput : public patchformat::DeltaOutput {
 public:
  explicit FileOutput(platform::File& file, const patchformat::ExclusionWindow* window = nullptr) : file_(file) {
    buffer_.reserve(kBuffer);
    if (window != nullptr) sum_.emplace(*window);
  }
  bool append(const void* data, std::size_t n) override;
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override;
  bool flush();
  std::uint32_t checksum() const { return sum_ ? sum_->value() : 0; }

 private:
  static constexpr std::size_t kBuffer = 1 << 18;
  platform::File& file_;
  std::optional<patchformat::WindowedCrc> sum_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t flushed_ = 0;  // bytes already in the file
};

}  // namespace applier
