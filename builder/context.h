// What one builder run shares, created by the entry and passed down: the
// machine, the output in the run's language, the difference engine's
// allocations and the log. The patch file being written is the job's own
// (PatchOutput).
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
};

}  // namespace builder
