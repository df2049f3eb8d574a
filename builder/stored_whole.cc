#include "builder/stored_whole.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "diffengine/streams.h"
#include "patchformat/delta.h"
#include "patchformat/lzma_sdk.h"
#include "patchformat/stream_writer.h"

namespace builder {
namespace {

constexpr std::size_t kPiece = 1 << 20;
constexpr std::size_t kLzmaPiece = 64 << 20;  // the body's largest dictionary
// Inserts are cut into chunks of this many bytes (the format's largest),
// each with one bit that marks it raw.
constexpr std::uint8_t kChunk = 255;
// How far back a copy from the output may start and still repeat what it
// writes: the appliers move such copies in blocks of this many bytes.
constexpr std::uint32_t kOutputBlock = 1000;

struct Step : patchformat::DeltaInstructionWriter {
  Step(std::uint32_t sourceSize, std::uint32_t targetSize) {
    params.sourceSize = sourceSize;
    params.targetSize = targetSize;
    params.mismatchGroup = 1;
    params.literalBlockSize = kChunk;
  }
  // Writes the number and bit streams, `literalBytes` bytes of literals
  // through `putLiterals`, and fills in the record.
  template <typename PutLiterals>
  bool write(diffengine::BlockSink& sink, std::uint32_t literalBytes, PutLiterals putLiterals,
             patchformat::SourceRecord* record) const {
    const std::string parts[3] = {numbers.bytes(), bitsA.bytes(), bitsB.bytes()};
    for (int s = 0; s < 3; ++s) {
      if (!parts[s].empty() && !sink.write(parts[s].data(), parts[s].size())) return false;
      record->streamLength[s] = static_cast<std::uint32_t>(parts[s].size());
    }
    if (!putLiterals()) return false;
    record->streamLength[patchformat::kLiteralStream] = literalBytes;
    record->streamLength[patchformat::kMismatchStream] = 0;
    record->mismatchGroup = params.mismatchGroup;
    record->deltaFlags = 0;
    record->literalBlockSize = params.literalBlockSize;
    return true;
  }
};

}  // namespace

std::uint64_t codedSize(platform::FileSystem& files, const std::string& path, BodyCoding coding, bool* readable,
                        std::uint64_t enough) {
  *readable = false;
  const std::unique_ptr<platform::File> file = files.open(path, platform::File::Mode::kRead);
  if (!file) return 0;
  const std::size_t piece = coding == BodyCoding::kLzma ? kLzmaPiece : kPiece;
  std::vector<std::uint8_t> bytes(piece), coded;
  diffengine::DeflateSink deflated(6);
  std::uint64_t total = 0;
  for (;;) {
    const long got = file->read(bytes.data(), bytes.size());
    if (got < 0) return 0;
    if (got == 0) break;
    const std::size_t n = static_cast<std::size_t>(got);
    if (coding == BodyCoding::kStored) {
      total += n;
    } else if (coding == BodyCoding::kDeflate) {
      if (!deflated.write(bytes.data(), n)) return 0;
    } else {
      CLzmaEncProps props;
      LzmaEncProps_Init(&props);
      props.level = 1;
      props.dictSize = static_cast<std::uint32_t>(piece);
      props.reduceSize = n;
      props.numThreads = 1;
      coded.resize(n + n / 2 + (1 << 16));
      SizeT codedLength = coded.size();
      Byte properties[LZMA_PROPS_SIZE];
      SizeT propertiesSize = sizeof properties;
      if (LzmaEncode(coded.data(), &codedLength, bytes.data(), n, &props, properties, &propertiesSize, 0, nullptr,
                     patchformat::lzmaAllocator(), patchformat::lzmaAllocator()) != SZ_OK) {
        return 0;
      }
      total += codedLength;
    }
    if (std::max(total, deflated.compressedBytes()) > enough) break;
  }
  if (coding == BodyCoding::kDeflate) {
    if (!deflated.finish()) return 0;
    total = std::max(total, deflated.compressedBytes());
  }
  *readable = true;
  return total;
}

bool writeZeroStep(std::uint32_t sourceSize, std::uint32_t targetSize, diffengine::BlockSink& sink,
                   patchformat::SourceRecord* record) {
  Step step(sourceSize, targetSize);
  const std::uint32_t inserted = std::min(targetSize, kOutputBlock);
  if (inserted > 0) step.insertChunks(inserted);
  // A copy of the rest from the start of the output (address sourceSize),
  // one block behind its end, repeats the zeros; its group's mismatch
  // length is 0.
  if (targetSize > inserted) step.copy(targetSize - inserted, sourceSize, 0);
  const std::vector<std::uint8_t> zeros(inserted);
  return step.write(
      sink, inserted, [&] { return inserted == 0 || sink.write(zeros.data(), zeros.size()); }, record);
}

bool writeStoredStep(std::uint32_t sourceSize, platform::File& file, std::uint32_t size, diffengine::BlockSink& sink,
                     patchformat::SourceRecord* record) {
  Step step(sourceSize, size);
  if (size > 0) step.insertChunks(size);
  const auto copyFile = [&] {
    std::vector<std::uint8_t> piece(kPiece);
    std::uint32_t left = size;
    while (left > 0) {
      const long got = file.read(piece.data(), std::min<std::size_t>(left, piece.size()));
      if (got <= 0 || !sink.write(piece.data(), static_cast<std::size_t>(got))) return false;
      left -= static_cast<std::uint32_t>(got);
    }
    return true;
  };
  return step.write(sink, size, copyFile, record);
}

}  // namespace builder
