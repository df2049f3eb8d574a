// The delta decoder's sources and sinks on files: a stream stored in a
// (temporary) file, a source state read at random places through a cache,
// and an output file that copies may read back from.
#pragma once

#include <cstdint>
#include <vector>

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

class FileSource : public patchformat::RandomReader {
 public:
  explicit FileSource(platform::File& file);
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override;

 private:
  static constexpr std::size_t kCache = 1 << 16;
  platform::File& file_;
  std::uint64_t size_ = 0;
  std::vector<std::uint8_t> cache_;
  std::uint64_t cacheStart_ = 0;
  std::size_t cacheFill_ = 0;
};

// Appends through a buffer; read-backs of bytes still in the buffer are
// served from it.
class FileOutput : public patchformat::DeltaOutput {
 public:
  explicit FileOutput(platform::File& file) : file_(file) { buffer_.reserve(kBuffer); }
  bool append(const void* data, std::size_t n) override;
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override;
  bool flush();

 private:
  static constexpr std::size_t kBuffer = 1 << 18;
  platform::File& file_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t flushed_ = 0;  // bytes already in the file
};

}  // namespace applier
