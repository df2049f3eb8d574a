#include "applier/engine.h"

#include <cstdint>
#include <limits>

#include "applier/delta_files.h"
#include "applier/temporaries.h"

namespace applier {

bool safeRelativeName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

void PatchEngine::init_temp_dir() {
  tempDir = files_.tempDirectory();
  names_ = std::make_unique<TempNames>(files_, tempDir);
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
  reader_.reset();
  body_.reset();
  for (const std::string& p : outputs_) {
    files_.deleteFile(p);
    releaseTemporary(p);
  }
  outputs_.clear();
  kept_.clear();
  keptBytes_ = 0;
  patch_.reset();
  tempFile_.reset();
  if (!tempPath_.empty()) {
    files_.deleteFile(tempPath_);
    releaseTemporary(tempPath_);
    tempPath_.clear();
  }
}

void PatchEngine::closePatch() { patch_.reset(); }

bool PatchEngine::createTemp(const std::string& dir, std::unique_ptr<platform::File>* file, std::string* path) {
  if (!names_) init_temp_dir();
  const bool made = dir.empty() ? names_->create(file, path) : TempNames(files_, dir).create(file, path);
  if (made) trackTemp(*path);
  return made;
}

void PatchEngine::trackTemp(const std::string& path) {
  outputs_.push_back(path);
  registerTemporary(path);
}

void PatchEngine::dropTemp(const std::string& path) {
  files_.deleteFile(path);
  releaseTemp(path);
}

void PatchEngine::releaseTemp(const std::string& path) {
  releaseTemporary(path);
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    if (outputs_[i] == path) {
      outputs_.erase(outputs_.begin() + static_cast<long>(i));
      return;
    }
  }
}

bool PatchEngine::isTemp(const std::string& path) const {
  for (const std::string& p : outputs_) {
    if (p == path) return true;
  }
  return false;
}

void PatchEngine::seekBody(std::uint64_t position) {
  body_->seek(position);
  // The body's length is known only once it is expanded: reads past its end
  // come back short, which the reader takes as a corrupt patch.
  reader_.emplace(*body_, std::numeric_limits<std::uint64_t>::max());
}

void PatchEngine::skipBody(std::uint64_t n) {
  const std::uint64_t to = body_->position() + n;
  if (!body_->ensure(to)) bodyFailed();
  seekBody(to);
}

void PatchEngine::bodyFailed() {
  fail(body_->error() == BodyError::kPatchRead   ? kMsgPatchReadFailed
       : body_->error() == BodyError::kBuffering ? kMsgBufferingFailed
                                                 : kMsgCorrupt);
}

// Names are checked while the check pass reads them, so a hostile patch
// ends before anything was changed.
void PatchEngine::requireSafe(const std::string& name, bool mayBeEmpty) {
  if (name.empty() ? !mayBeEmpty : !safeRelativeName(name)) fail(kMsgCorrupt);
}

void PatchEngine::load_patch(const std::string& patchName) {
  cleanup();
  if (!names_) init_temp_dir();
  values.patchName = patchName;
  if (!(patch_ = files_.open(patchName, platform::File::Mode::kRead))) fail(kMsgCannotOpenPatch);
  FileSource source(*patch_);
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
  registerTemporary(tempPath_);
  body_ = std::make_unique<ExpandedBody>(*patch_, where.bodyStart, where.bodyEnd,
                                         (header_.flags & patchformat::kHeaderCompressed) != 0, *tempFile_);
  seekBody(0);
  if (!reader().readTexts(header_, &creator_, &comment_)) bodyFailed();
  creatorRaw_ = creator_;
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
