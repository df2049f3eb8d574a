#include "builder/patch_output.h"

#include "builder/cleanup.h"
#include "platform/process.h"

namespace builder {

bool PatchOutput::create(const std::string& name) {
  file_ = files_.open(name, platform::File::Mode::kCreate);
  if (!file_) return false;
  name_ = name;
  state_ = State::kOpen;
  registerPatchOutput(*file_, name);
  return true;
}

bool PatchOutput::createTemporary() {
  std::string name;
  if (!files_.createTempFile("ks", &name)) return false;
  if (create(name)) return true;
  files_.deleteFile(name);  // created empty by the system, never to be used
  return false;
}

bool PatchOutput::close() {
  if (!file_->close()) return false;
  registerFinishedPatch(name_);
  file_.reset();
  state_ = State::kClosed;
  return true;
}

packaging::JoinResult PatchOutput::joinStub(const std::string& stub, const std::string& finalName,
                                            const std::string* changedStub) {
  const std::string temporary = name_;
  platform::recordTemporary(temporary);
  // From the moment it exists, the program being joined is the output an
  // interrupt deletes.
  const packaging::JoinResult joined = packaging::joinStub(
      files_, stub, temporary, finalName,
      [&finalName](const platform::File& output) { registerPatchOutput(output, finalName); }, changedStub);
  files_.deleteFile(temporary);
  platform::forgetTemporary(temporary);
  if (joined.error != packaging::JoinError::kNone) {
    releasePatchOutput();
    state_ = State::kNone;
    return joined;
  }
  name_ = finalName;
  registerFinishedPatch(finalName);
  state_ = State::kClosed;
  return joined;
}

void PatchOutput::accept() {
  releasePatchOutput();
  state_ = State::kNone;
}

void PatchOutput::discard() {
  if (state_ == State::kNone) return;
  releasePatchOutput();
  file_.reset();
  state_ = State::kNone;
  files_.deleteFile(name_);
}

}  // namespace builder
