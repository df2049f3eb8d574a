#include "builder/context.h"

#include "builder/cleanup.h"

namespace builder {

bool Context::openPatch(const std::string& name) {
  patch_ = files.open(name, platform::File::Mode::kCreate);
  if (!patch_) return false;
  patchName_ = name;
  registerPatchOutput(*patch_, name);
  return true;
}

bool Context::openTemporaryPatch() {
  std::string name;
  if (!files.createTempFile("ks", &name)) return false;
  if (openPatch(name)) return true;
  files.deleteFile(name);  // created empty by the system, never to be used
  return false;
}

bool Context::closePatch() {
  if (!patch_->close()) return false;
  registerFinishedPatch(patchName_);
  patch_.reset();
  unchecked_ = true;
  return true;
}

void Context::replacePatch(const std::string& name) {
  patchName_ = name;
  registerFinishedPatch(name);
  unchecked_ = true;
}

void Context::acceptPatch() {
  releasePatchOutput();
  unchecked_ = false;
}

void Context::writeLog() {
  if (!log || log->written()) return;
  try {
    log->write(directoryPatch);
  } catch (const packaging::LogFailure& failure) {
    releaseLogOutput();  // what was written until the failure stays
    logFailed(failure);
  }
  releaseLogOutput();
}

void Context::logFailed(const packaging::LogFailure& failure) {
  if (!failure.printedFirst.empty()) {
    out.write(Out::kStdout, failure.printedFirst);
    out.flush(Out::kStdout);
  }
  out.failBilingual(failure.english, failure.german);
}

void Context::discardPatch() {
  if (!patch_ && !unchecked_) return;
  releasePatchOutput();
  patch_.reset();
  unchecked_ = false;
  files.deleteFile(patchName_);
}

}  // namespace builder
