// The console applier: its command line, texts, questions and exit codes,
// around the engine. It also runs as a self-applying patch when patch data
// is joined behind its own program file.
#pragma once

#include <string>
#include <vector>

#include "applier/engine.h"
#include "applier/unattended.h"
#include "platform/machine.h"
#include "platform/process.h"

namespace applier {

// The engine's services on a console. `write` and `key` go to `console`;
// tests replace them to script a session.
class ConsoleFrontEnd : public FrontEnd {
 public:
  explicit ConsoleFrontEnd(platform::Console& console) : console_(console) {}
  void show(const std::string& text) override {
    if (!quiet_) out(text);
  }
  // The message, " (y/n) ", one key echoed with a line break: yes only for
  // "y". In batch mode the answer is "y", shown as if typed.
  bool ask(const std::string& message, const std::string& caption) override;
  void pump() override {}
  bool abortRequested() override { return false; }
  // Shows the part of `dir` below its parent while the search is in it
  // (not in the log: it is erased again).
  void searching(const std::string& dir, std::size_t parentLength, bool entering) override;
  // A scan of all disks takes minutes: only a user at the console may start it.
  bool mayScanDisks() override { return !batch_; }
  // "Press any key to continue ... ", at most ten seconds, then "ok.";
  // nothing in batch mode.
  void pressAnyKey();
  // The last words of a program whose console window closes with it: they
  // stay until a key is pressed.
  void waitBeforeClosing();
  // Batch mode (-y): no key is waited for and every question is answered yes.
  void setBatch(bool on) { batch_ = on; }
  bool batch() const { return batch_; }
  // The engine's progress texts are not shown (output for a program to read).
  void setQuiet(bool on) { quiet_ = on; }
  // Nothing at all is shown (/quiet); the log still gets everything.
  void setSilent(bool on) { silent_ = on; }
  // Everything shown also goes to `log` (null: none).
  void setLog(RunLog* log) { log_ = log; }

  // Shows text (console code page 850, CR LF line breaks) and logs it.
  void out(const std::string& text);
  // Writes text with CR LF line breaks as the host's line ends.
  virtual void write(const std::string& text);
  // One key (see platform::Console::readKey); -1 on timeout or end of input.
  virtual int key(int timeoutMs);
  // Whether the console window closes when the program ends.
  virtual bool ownsWindow() { return console_.ownsWindow(); }

 private:
  platform::Console& console_;
  RunLog* log_ = nullptr;
  bool batch_ = false;
  bool quiet_ = false;
  bool silent_ = false;
};

// Runs pelmora with `args` (args[0] the program name) on `machine`;
// `programPath` is the running program's own file. Words that begin with
// '/' are switches when `slashSwitches` (Windows), else paths. Returns the
// exit code. Any exception ends it like the engine's errors: the run's
// changes undone, its temporaries deleted, a message shown and exit code 1
// (1603 in the unattended modes).
int runPelmora(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
               platform::Machine& machine, bool slashSwitches = platform::slashWordsAreSwitches());

}  // namespace applier
