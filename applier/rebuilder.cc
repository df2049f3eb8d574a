#include "applier/rebuilder.h"

#include <memory>

#include "applier/delta_files.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"

namespace applier {
namespace {

constexpr std::size_t kChecksumBlock = 1 << 16;
// Room kept free on a volume beyond what a run writes there.
constexpr std::uint64_t kRoomReserve = 1 << 20;

// The checksum of a whole file, skipping its exclusion window.
bool fileChecksum(platform::File& file, const patchformat::ExclusionWindow& window, std::uint32_t* crc) {
  patchformat::WindowedCrc sum(window);
  std::vector<std::uint8_t> buffer(kChecksumBlock);
  if (!file.seek(0)) return false;
  for (;;) {
    const long n = file.read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    sum.update(buffer.data(), static_cast<std::size_t>(n));
  }
  *crc = sum.value();
  return true;
}

int deltaMessage(patchformat::DeltaError e) {
  switch (e) {
    case patchformat::DeltaError::kWriteFailed: return kMsgWriteFailed;
    case patchformat::DeltaError::kSourceReadFailed: return kMsgSourceReadFailed;
    case patchformat::DeltaError::kPatchReadFailed: return kMsgPatchReadFailed;
    default: return kMsgCorrupt;
  }
}

// Calls `tick` whenever the decoder reads further into its instructions.
class PumpingReader : public patchformat::ByteReader {
 public:
  PumpingReader(patchformat::ByteReader& inner, const std::function<void()>& tick) : inner_(inner), tick_(tick) {}
  long read(void* buffer, std::size_t n) override {
    if (tick_) tick_();
    return inner_.read(buffer, n);
  }

 private:
  patchformat::ByteReader& inner_;
  const std::function<void()>& tick_;
};

}  // namespace

bool hasRoom(platform::FileSystem& files, const std::string& dir, std::uint64_t bytes) {
  std::uint64_t free = 0;
  return bytes < ExpandedBody::kRoomCheckFrom || !files.freeSpace(dir, &free) || free >= bytes + kRoomReserve;
}

void requireRoom(platform::FileSystem& files, const std::string& dir, std::uint64_t bytes) {
  if (!hasRoom(files, dir, bytes)) throw PartFailure(kMsgNoRoom, dir, std::to_string(bytes));
}

PartFailure bodyFailure(const ExpandedBody& body, const std::string& tempDirectory) {
  switch (body.error()) {
    case BodyError::kNoRoom: return PartFailure(kMsgNoRoom, tempDirectory, std::to_string(body.refusedBytes()));
    case BodyError::kPatchRead: return PartFailure(kMsgPatchReadFailed);
    case BodyError::kBuffering: return PartFailure(kMsgBufferingFailed);
    // The body's decoder could not have its memory: said as when any other
    // allocation of the run fails.
    case BodyError::kNoMemory: return PartFailure(kMsgUnexpected, "", kNoMemoryReason);
    default: return PartFailure(kMsgCorrupt);
  }
}

bool ChainRebuilder::keep(std::uint64_t record, const std::string& path, std::uint64_t size) {
  if (kept_.count(record) != 0 || keptBytes_ + size > keepBudget_) return false;
  kept_[record] = path;
  keptBytes_ += size;
  return true;
}

std::string ChainRebuilder::takeKept(std::uint64_t record) {
  const auto it = kept_.find(record);
  if (it == kept_.end()) return std::string();
  std::string path = it->second;
  kept_.erase(it);
  return path;
}

bool ChainRebuilder::matchesFinal(const std::string& path, const patchformat::FinalInfo& info,
                                  const patchformat::ExclusionWindow& window) {
  const std::unique_ptr<platform::File> file = files_.open(path, platform::File::Mode::kRead);
  std::uint64_t size = 0;
  if (!file || !file->size(&size) || size != info.size) return false;
  std::uint32_t crc = 0;
  if (!fileChecksum(*file, window, &crc)) throw PartFailure(kMsgSourceReadFailed);
  return crc == info.checksum;
}

ChainRebuilder::Result ChainRebuilder::findFinal(const patchformat::FinalInfo& info,
                                                 const patchformat::ExclusionWindow& window,
                                                 const std::string& target, const std::string& inPlace) {
  if (matchesFinal(target, info, window)) return Result{Outcome::kAlreadyFinal, target, info.checksum};
  if (inPlace != target && matchesFinal(inPlace, info, window)) {
    return Result{Outcome::kFinalInPlace, inPlace, info.checksum};  // just checked
  }
  return Result{};
}

// The chain starts at the first source that is found; every later step
// takes the previous step's result, which is dropped once used. The last
// step of a real run writes beside the target, so that the finished file
// only has to be renamed into place.
ChainRebuilder::Result ChainRebuilder::rebuild(
    const std::vector<SourceEntry>& sources, const patchformat::FinalInfo& info,
    const patchformat::ExclusionWindow& finalWindow,
    const std::function<std::vector<std::string>(const SourceEntry&)>& sourcePaths, const std::string& finalDir,
    const std::function<void()>& makeFinalDir) {
  Result result;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const bool last = i + 1 == sources.size();
    StepOutput out;
    if (last) {
      out.dir = finalDir;
      out.window = &finalWindow;
      if (!finalDir.empty() && makeFinalDir) makeFinalDir();
    }
    const std::uint32_t size = last ? info.size : sources[i + 1].record.size;
    if (result.path.empty()) {
      bool found = false;
      for (const std::string& at : sourcePaths(sources[i])) {
        if ((found = rebuildStep(sources[i], at, size, Source::kMustMatch, &out))) break;
      }
      if (!found) continue;
    } else {
      rebuildStep(sources[i], result.path, size, Source::kTrusted, &out);
      temps_.drop(result.path);
    }
    result = Result{Outcome::kRebuilt, out.path, out.checksum};
  }
  return result;
}

bool ChainRebuilder::rebuildStep(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize,
                                 Source how, StepOutput* output) {
  const std::unique_ptr<platform::File> in = files_.open(sourcePath, platform::File::Mode::kRead);
  if (!in) {
    if (how == Source::kMustMatch) return false;
    throw PartFailure(kMsgOpenForPatchingFailed, "", sourcePath);
  }
  std::uint64_t size = 0;
  if (!in->size(&size)) throw PartFailure(kMsgSourceReadFailed);
  if (how == Source::kMustMatch) {
    std::uint32_t crc = 0;
    if (size != source.record.size) return false;
    if (!fileChecksum(*in, source.window, &crc)) throw PartFailure(kMsgSourceReadFailed);
    if (crc != source.record.checksum) return false;
  }
  // The streams are read where the expanded body holds them.
  const std::uint64_t end = source.streamOffset + source.record.streamsTotal();
  if (!body_->ensure(end)) throw bodyFailure(*body_, files_.tempDirectory());
  requireRoom(files_, output->dir.empty() ? files_.tempDirectory() : output->dir, targetSize);
  std::unique_ptr<platform::File> out;
  std::string outPath;
  if (!temps_.create(output->dir, &out, &outPath)) {
    throw PartFailure(output->dir.empty() ? kMsgTempOpenFailed : kMsgReplaceDenied);
  }
  const patchformat::DeltaParams params = source.record.params(static_cast<std::uint32_t>(size), targetSize);
  std::vector<std::unique_ptr<FileStreamReader>> readers;
  patchformat::DeltaStreams streams;
  std::uint64_t at = source.streamOffset;
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    readers.push_back(
        std::make_unique<FileStreamReader>(*storage_, body_->physical(at), source.record.streamLength[i]));
    streams.reader[i] = readers.back().get();
    streams.length[i] = source.record.streamLength[i];
    at += source.record.streamLength[i];
  }
  PumpingReader numbers(*streams.reader[0], pump_);
  streams.reader[0] = &numbers;
  FileSource from(*in);
  FileOutput to(*out, output->window);
  const patchformat::DeltaError e = patchformat::decodeDelta(params, streams, from, to);
  if (e != patchformat::DeltaError::kNone) throw PartFailure(deltaMessage(e));
  // The decoder never writes more than the record's size; instructions
  // that end before it mean a record that lies about its size.
  if (to.written() != targetSize) throw PartFailure(kMsgCorrupt);
  // A file written beside its target is on the disk before it is renamed into place.
  if (!to.flush() || !(output->dir.empty() || out->flushToDisk()) || !out->close()) throw PartFailure(kMsgWriteFailed);
  output->path = outPath;
  output->checksum = to.checksum();
  return true;
}

}  // namespace applier
