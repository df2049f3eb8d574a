// The console applier: its command line, texts, questions and exit codes,
// around the engine. It also runs as a self-applying patch when patch data
// is joined behind its own program file.
#pragma once

#include <string>
#include <vector>

#include "applier/engine.h"
#include "platform/machine.h"

namespace applier {

// The engine's services on a console. `write` and `key` go to `console`;
// tests replace them to script a session.
class ConsoleFrontEnd : public FrontEnd {
 public:
  explicit ConsoleFrontEnd(platform::Console& console) : console_(console) {}
  void show(const std::string& text) override { write(text); }
  // The message, " (y/n) ", one key echoed with a line break: yes only for "y".
  bool ask(const std::string& message, const std::string& caption) override;
  void pump() override {}
  bool abortRequested() override { return false; }
  // Shows the part of `dir` below its parent while the search is in it.
  void searching(const std::string& dir, std::size_t parentLength, bool entering) override;
  bool mayScanDisks() override { return true; }
  // "Press any key to continue ... ", at most ten seconds, then "ok.".
  void pressAnyKey();

  // Writes text with CR LF line breaks as the host's line ends.
  virtual void write(const std::string& text);
  // One key (see platform::Console::readKey); -1 on timeout or end of input.
  virtual int key(int timeoutMs);

 private:
  platform::Console& console_;
};

// Runs pelmora with `args` (args[0] the program name) on `machine`;
// `programPath` is the running program's own file. Returns the exit code.
int runPelmora(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
               platform::Machine& machine);

}  // namespace applier
