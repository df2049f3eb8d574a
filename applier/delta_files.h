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
using FileStreamReader = patchformat::RangeReaderOf<platform::File>;

// A source state read at random places through the format's block cache:
// copies that jump back and forth within a few MiB of the source read each
// block once, and memory stays the same for any file size.
class FileSource : public patchformat::RandomReader {
 public:
  explicit FileSource(platform::File& file) : raw_(file), cached_(raw_) {}
  std::uint64_t size() const override { return cached_.size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override { return cached_.readAt(offset, buffer, n); }

 private:
  patchformat::FileReader<platform::File> raw_;
  patchformat::CachedReader cached_;
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
  // Bytes appended so far, written to the file or still in the buffer.
  std::uint64_t written() const { return flushed_ + buffer_.size(); }

 private:
  static constexpr std::size_t kBuffer = 1 << 18;
  platform::File& file_;
  std::optional<patchformat::WindowedCrc> sum_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t flushed_ = 0;  // bytes already in the file
};

}  // namespace applier
