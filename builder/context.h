// What one builder run shares, created by the entry and passed down: the
// machine, the output in the run's language, the difference engine's
// allocations, and the patch file while it is being written.
#pragma once

#include <memory>
#include <string>

#include "builder/messages.h"
#include "diffengine/memory.h"
#include "packaging/log_template.h"
#include "platform/machine.h"

namespace builder {

class Context {
 public:
  explicit Context(platform::Machine& m) : machine(m), files(m.files), out(m.console) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { discardPatch(); }

  // Creates `name` as the patch output and registers it with the clean-up
  // handler; false when it cannot be created.
  bool openPatch(const std::string& name);
  // Creates a fresh temporary file (prefix "ks") in the system's temporary
  // directory as the patch output, for a patch that is joined to a stub
  // afterwards; false when it cannot be created and opened.
  bool openTemporaryPatch();
  // The patch output's path, also after it was closed.
  const std::string& patchName() const { return patchName_; }
  platform::File& patch() { return *patch_; }
  // The patch is written: closed, and still the output that the error exit
  // (and an interrupt) deletes, until it passed its checks. False when the
  // close failed.
  bool closePatch();
  // `name`, a complete output made from the closed patch (the patch joined
  // to a stub), takes its place as the output to delete on an error.
  void replacePatch(const std::string& name);
  // The output passed its checks: it is left in place.
  void acceptPatch();
  // The error exit's part: an incomplete or unchecked patch is closed and
  // deleted, silently.
  void discardPatch();

  platform::Machine& machine;
  platform::FileSystem& files;
  Output out;
  diffengine::Memory memory;
  // The builder's own directory with its trailing separator: the stub tree
  // and the log templates lie there. Set at start-up.
  std::string programDirectory;

  // The job's log (-l), from its first target series on, and the kind of
  // the patch it reports.
  std::unique_ptr<packaging::LogFile> log;
  bool directoryPatch = false;
  // Writes the log once, when there is one; its failure is fatal.
  void writeLog();
  [[noreturn]] void logFailed(const packaging::LogFailure& failure);

 private:
  std::unique_ptr<platform::File> patch_;
  std::string patchName_;
  bool unchecked_ = false;  // closed, not yet accepted
};

}  // namespace builder
