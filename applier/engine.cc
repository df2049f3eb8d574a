#include "applier/engine.h"

#include <cstdint>
#include <limits>

#include "applier/delta_files.h"

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

}  // namespace applier
