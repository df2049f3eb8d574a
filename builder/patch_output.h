// The patch file on its way to the disk, with one owner from its creation
// to its end: closed and checked (accepted), joined behind a stub into the
// self-applying program, or discarded on an error, silently. While it is
// incomplete or not yet checked it is registered with the interrupt and exit
// handler (cleanup.h), which deletes it and says so; nothing else registers
// or releases the patch. An output that goes before it was accepted (the
// job unwinding on a fatal error) is discarded on the way.
#pragma once

#include <memory>
#include <string>

#include "packaging/stub_join.h"
#include "platform/files.h"

namespace builder {

class PatchOutput {
 public:
  explicit PatchOutput(platform::FileSystem& files) : files_(files) {}
  ~PatchOutput() {
    try {
      discard();
    } catch (...) {  // a destructor lets nothing out: it would end the program
    }
  }
  PatchOutput(const PatchOutput&) = delete;
  PatchOutput& operator=(const PatchOutput&) = delete;

  // Creates `name` as the output; false when it cannot be created.
  bool create(const std::string& name);
  // Creates a fresh temporary file (prefix "ks") in the system's temporary
  // directory as the output, for a patch that is joined behind a stub
  // afterwards; false when it cannot be created and opened.
  bool createTemporary();
  // The open output, from create until close.
  platform::File& file() { return *file_; }
  // The output's path, also after it was closed.
  const std::string& name() const { return name_; }

  // The patch is written: closed, and still the output that an error or an
  // interrupt deletes until it passed its checks. False when the close
  // failed; the output is then still open, to be discarded.
  bool close();
  // The closed patch, a temporary file (createTemporary), goes behind `stub`
  // into `finalName`, which becomes the output in its place: closed and
  // deleted on an error until it is accepted. With `changedStub` its bytes
  // stand in front of the patch instead of the stub's (`stub` names it).
  // The temporary patch is deleted in every case. A failed join leaves no
  // output (the join deletes what it began, and a file of the output's name
  // that it could not create is not the job's to delete).
  packaging::JoinResult joinStub(const std::string& stub, const std::string& finalName,
                                 const std::string* changedStub);
  // The output passed its checks: it stays where it is.
  void accept();
  // An incomplete or unchecked output is closed and deleted, silently.
  void discard();

 private:
  enum class State { kNone, kOpen, kClosed };  // kClosed: written, not yet accepted

  platform::FileSystem& files_;
  std::unique_ptr<platform::File> file_;
  std::string name_;
  State state_ = State::kNone;
};

}  // namespace builder
