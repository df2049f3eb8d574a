#include "applier/engine.h"

#include <cstdint>
#include <limits>

#include "applier/delta_files.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"

#include <vector>

namespace applier {

void PatchEngine::init_temp_dir() {
  tempDir = platform::tempDirectory();
  names_ = std::make_unique<TempNames>(tempDir);
}

std::string PatchEngine::message(int consoleNumber) const {
  const int n = numbering_ == Numbering::kConsole ? consoleNumber : otherNumber(Numbering::kConsole, consoleNumber);
  return formatMessage(messageText(numbering_, n), values);
}

void PatchEngine::fail(int consoleNumber) {
  const std::string text = message(consoleNumber);
  cleanup();
  throw ApplierError(consoleNumber, text);
}

void PatchEngine::cleanup() {
  body_.reset();
  for (const std::string& p : outputs_) platform::deleteFile(p);
  outputs_.clear();
  patch_.close();
  if (tempFile_.isOpen()) tempFile_.close();
  if (!tempPath_.empty()) {
    platform::deleteFile(tempPath_);
    tempPath_.clear();
  }
}

void PatchEngine::load_patch(const std::string& patchName) {
  cleanup();
  if (!names_) init_temp_dir();
  values.patchName = patchName;
  if (!patch_.open(patchName, platform::File::Mode::kRead)) fail(kMsgCannotOpenPatch);
  FileSource source(patch_);
  const patchformat::PatchLocation where = patchformat::locatePatch(source);
  if (where.status == patchformat::LocateStatus::kUnreadable) fail(kMsgUnreadable);
  if (where.status == patchformat::LocateStatus::kNotPatch) fail(kMsgNoPatchFile);
  show(kMsgPleaseWait);
  header_ = where.header;
  if (where.status == patchformat::LocateStatus::kWrongVersion) {
    values.oldPath = std::to_string(header_.version);
    fail(kMsgWrongVersion);
  }
  if (!names_->create(&tempFile_, &tempPath_)) fail(kMsgBufferingFailed);
  body_ = std::make_unique<ExpandedBody>(patch_, where.bodyStart, where.bodyEnd,
                                         (header_.flags & patchformat::kHeaderCompressed) != 0, tempFile_);
  // The body's length is known only once it is expanded: reads past its end
  // come back short, which the reader takes as a corrupt patch.
  patchformat::BodyReader reader(*body_, std::numeric_limits<std::uint64_t>::max());
  if (!reader.readTexts(header_, &creator_, &comment_)) {
    fail(body_->error() == BodyError::kPatchRead ? kMsgPatchReadFailed
         : body_->error() == BodyError::kBuffering ? kMsgBufferingFailed
                                                   : kMsgCorrupt);
  }
  for (char& c : comment_) {
    if (c == '\0') c = '\x01';
  }
  for (char& c : creator_) {
    if (c == '\0') c = '\x01';
  }
  directoryPatch_ = header_.isDirectoryPatch();
  firstSeries_ = body_->position();
}

namespace {

// The checksum of a whole file, skipping its exclusion window.
bool fileChecksum(platform::File& file, const patchformat::ExclusionWindow& window, std::uint32_t* crc) {
  patchformat::WindowedCrc sum(window);
  std::vector<std::uint8_t> buffer(1 << 16);
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

}  // namespace

bool PatchEngine::apply_delta(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize,
                              bool verifySource, bool sourceMustExist, std::string* output) {
  platform::File in;
  if (!in.open(sourcePath, platform::File::Mode::kRead)) {
    if (!sourceMustExist) return false;
    values.oldPath = sourcePath;
    fail(kMsgOpenForPatchingFailed);
  }
  std::uint64_t size = 0;
  if (!in.size(&size)) fail(kMsgSourceReadFailed);
  if (verifySource) {
    std::uint32_t crc = 0;
    if (size != source.record.size) return false;
    if (!fileChecksum(in, source.window, &crc)) fail(kMsgSourceReadFailed);
    if (crc != source.record.checksum) return false;
  }
  // The streams are read where the expanded body holds them.
  const std::uint64_t end = source.streamOffset + source.record.streamsTotal();
  if (!body_->ensure(end)) {
    fail(body_->error() == BodyError::kPatchRead   ? kMsgPatchReadFailed
         : body_->error() == BodyError::kBuffering ? kMsgBufferingFailed
                                                   : kMsgCorrupt);
  }
  platform::File out;
  std::string outPath;
  if (!names_->create(&out, &outPath)) fail(kMsgTempOpenFailed);
  outputs_.push_back(outPath);
  patchformat::DeltaParams params;
  params.sourceSize = static_cast<std::uint32_t>(size);
  params.targetSize = targetSize;
  params.flags = source.record.deltaFlags;
  params.mismatchGroup = source.record.mismatchGroup;
  params.literalBlockSize = source.record.literalBlockSize;
  std::vector<std::unique_ptr<FileStreamReader>> readers;
  patchformat::DeltaStreams streams;
  std::uint64_t at = source.streamOffset;
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    readers.push_back(std::make_unique<FileStreamReader>(tempFile_, at, source.record.streamLength[i]));
    streams.reader[i] = readers.back().get();
    streams.length[i] = source.record.streamLength[i];
    at += source.record.streamLength[i];
  }
  FileSource from(in);
  FileOutput to(out);
  const patchformat::DeltaError e = patchformat::decodeDelta(params, streams, from, to);
  if (e != patchformat::DeltaError::kNone) fail(deltaMessage(e));
  if (!to.flush() || !out.close()) fail(kMsgWriteFailed);
  *output = outPath;
  return true;
}

}  // namespace applier
