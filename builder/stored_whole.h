// A patched file whose deltas would cost more than the file itself is
// stored whole in its record instead: the same sources, each still
// recognised by its size and checksum, but every step except the last
// rebuilds a run of zeros of the next state's size (a few bytes of
// instructions), and the last inserts the final file's bytes. No step
// reads its source, so the chain rebuilds the final file from whichever
// start state matches, and the appliers check what they check for any
// chain: the matching source, and the result against the final checksum.
#pragma once

#include <cstdint>
#include <string>

#include "diffengine/engine.h"
#include "patchformat/container.h"
#include "patchformat/io.h"
#include "platform/files.h"

namespace builder {

// The source of a step of a chain stored whole, which no step reads: every
// read fails. The check of a finished patch decodes such steps from it.
class NoSource : public patchformat::RandomReader {
 public:
  explicit NoSource(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t, void*, std::size_t) override { return false; }

 private:
  std::uint64_t size_;
};

// How a patch body holds its records: as they are (-j), deflated, or as
// one LZMA stream (-o=lzma).
enum class BodyCoding { kStored, kDeflate, kLzma };

// About what the bytes of `path` cost in a body of that coding: their size,
// or their size deflated at zlib's default level, or LZMA-encoded at the
// encoder's fastest level in pieces of 64 MiB (about five times faster
// than the body's own settings). Stops once the count passes `enough`
// (returning more than it). Sets `*readable` false (and returns 0) when the
// file cannot be read.
std::uint64_t codedSize(platform::FileSystem& files, const std::string& path, BodyCoding coding, bool* readable,
                        std::uint64_t enough = UINT64_MAX);

// Writes to `sink` the streams of a step from a source of `sourceSize`
// bytes to `targetSize` zero bytes (up to 1000 inserted, the rest copied
// from the output itself); the record gets the streams' lengths and
// parameters. False when the sink fails.
bool writeZeroStep(std::uint32_t sourceSize, std::uint32_t targetSize, diffengine::BlockSink& sink,
                   patchformat::SourceRecord* record);

// Writes to `sink` the streams of a step from a source of `sourceSize`
// bytes to the `size` bytes of `file`, read from its start and inserted as
// they are. False when the file cannot be read whole or the sink fails.
bool writeStoredStep(std::uint32_t sourceSize, platform::File& file, std::uint32_t size, diffengine::BlockSink& sink,
                     patchformat::SourceRecord* record);

}  // namespace builder
