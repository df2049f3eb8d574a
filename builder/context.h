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
  // The patch is complete: closed and left in place. False when the close
  // failed; the file then stays registered, so the error exit removes it.
  bool closePatch();
  // The error exit's part: an incomplete patch is closed and deleted, silently.
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
};

}  // namespace builder
