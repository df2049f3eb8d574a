#include "applier/console.h"

#include <algorithm>
#include <cstddef>

#include "applier/contents.h"
#include "applier/exit_codes.h"
#include "patchformat/container.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace applier {
namespace {

constexpr int kKeyWaitMs = 10000;

// What -h adds after the usage line.
const char* const kOptionsHelp =
    "  -t       test mode: check that the patch applies, change nothing\r\n"
    "  -auto    look for the target in the given or current directory, and offer\r\n"
    "           to scan all local disks when it is not found there\r\n"
    "  -y       batch mode: wait for no key, answer yes to the comment and to a\r\n"
    "           target found in the given or current directory, never scan the disks\r\n"
    "  -i       show what the patch holds and which versions it accepts, change nothing\r\n"
    "  -i=json  the same as one JSON document\r\n"
    "  -h       this text\r\n";

enum class Listing { kNo, kText, kJson };

}  // namespace

void ConsoleFrontEnd::out(const std::string& text) {
  if (log_ != nullptr) log_->append(platform::cp850ToUtf8(text));
  if (!silent_) write(text);
}

void ConsoleFrontEnd::write(const std::string& text) {
  std::string host;
  host.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // the console adds its own CR
    host.push_back(text[i]);
  }
  console_.write(platform::Stream::kOut, host);
  console_.flush(platform::Stream::kOut);
}

int ConsoleFrontEnd::key(int timeoutMs) { return console_.readKey(timeoutMs); }

bool ConsoleFrontEnd::ask(const std::string& message, const std::string&) {
  out(message + messageText(Numbering::kConsole, kMsgYesNo));
  const int c = batch_ ? 'y' : key(-1);
  out(c > 0 ? std::string(1, static_cast<char>(c)) + "\r\n" : std::string("\r\n"));
  return c == 'y';
}

void ConsoleFrontEnd::pressAnyKey() {
  if (batch_) return;
  out(messageText(Numbering::kConsole, kMsgPressAnyKey));
  key(kKeyWaitMs);
  out("ok.\r\n");
}

void ConsoleFrontEnd::waitBeforeClosing() {
  out(numberedMessage(Numbering::kConsole, kMsgPressKeyToClose));
  key(-1);
  out("\r\n");
}

void ConsoleFrontEnd::searching(const std::string& dir, std::size_t parentLength, bool entering) {
  if (silent_) return;
  const std::size_t n = dir.size() > parentLength ? dir.size() - parentLength : 0;
  if (entering) {
    write(platform::cp1252ToCp850(dir.substr(dir.size() - n)));
  } else {
    write(std::string(n, '\b') + std::string(n, ' ') + std::string(n, '\b'));
  }
}

namespace {

// One run of pelmora: its command line read, the patch applied (or
// listed), and the exit code of its ending.
class ConsoleRun {
 public:
  ConsoleRun(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
             platform::Machine& machine, bool slashSwitches)
      : args_(args),
        programPath_(programPath),
        console_(console),
        machine_(machine),
        slashSwitches_(slashSwitches),
        switches_(switchesOf(args, slashSwitches, &words_)),
        log_(machine.files, switches_.logFile) {}

  int run();
  // The code of an ending: `code` as ever, `unattendedCode` with /quiet or /passive.
  int ending(int code, int unattendedCode) const { return switches_.unattended() ? unattendedCode : code; }
  // The last steps of every ending: the exit code in the log, and a wait
  // for a key where the console window would close at once.
  void finish(int code);

 private:
  // The switches of `args`, read before anything is shown (/quiet shows
  // nothing, the log gets everything); the other words go to `words`.
  static Switches switchesOf(const std::vector<std::string>& args, bool slashSwitches, std::vector<std::string>* words);
  void show(int number, const std::string& argument = "") {
    console_.show(numberedMessage(Numbering::kConsole, number, MessageValues{"", argument, ""}));
  }
  void showUsage();
  int usageError(int before, const std::string& argument = "");
  int showContents(const ApplyRequest& request, bool json);
  int apply(const ApplyRequest& request);

  const std::vector<std::string>& args_;
  const std::string programPath_;
  ConsoleFrontEnd& console_;
  platform::Machine& machine_;
  const bool slashSwitches_;
  std::vector<std::string> words_;
  const Switches switches_;
  RunLog log_;
  bool stub_ = false;
  Listing listing_ = Listing::kNo;
};

Switches ConsoleRun::switchesOf(const std::vector<std::string>& args, bool slashSwitches,
                               std::vector<std::string>* words) {
  Switches switches;
  for (std::size_t i = 1; i < args.size();) {
    if (slashSwitches && !args[i].empty() && args[i][0] == '/') {
      readSwitch(args, &i, &switches);
    } else {
      words->push_back(args[i++]);
    }
  }
  return switches;
}

// A self-applying patch is its own patch file: its usage names the program
// and leaves the patch name out.
void ConsoleRun::showUsage() {
  if (!stub_) return show(kMsgUsage);
  const std::size_t slash = platform::lastSeparator(programPath_);
  const std::string name = platform::cp1252ToCp850(programPath_.substr(slash == std::string::npos ? 0 : slash + 1));
  console_.out("Usage: " + name + " [-t] [-auto] [-y] [oldpath [newpath]]\r\n       " + name + " -i[=json]\r\n");
}

int ConsoleRun::usageError(int before, const std::string& argument) {
  if (before >= 0) show(before, argument);
  showUsage();
  return ending(1, kExitBadCommandLine);
}

int ConsoleRun::run() {
  console_.setBatch(switches_.unattended());
  console_.setSilent(switches_.mode == Unattended::kQuiet);
  console_.setQuiet(false);
  if (switches_.unattended()) platform::setInterruptExitCode(kExitCancelled);
  std::string commandLine;
  for (const std::string& a : args_) commandLine += (commandLine.empty() ? "" : " ") + a;
  const bool logged = log_.open(platform::cp1252ToUtf8(commandLine));
  if (logged && log_.enabled()) console_.setLog(&log_);
  // A JSON document is all that goes to standard output.
  if (std::find(words_.begin(), words_.end(), "-i=json") == words_.end()) {
    console_.out("Pelmora 2.2d patching technology\r\n");
  }
  if (!logged) {
    show(kMsgLogFailed, log_.path());
    console_.out("\r\n");
    return ending(1, kExitLogFailed);
  }
  ApplyRequest request;
  stub_ = carriesPatch(programPath_, machine_.files);
  if (stub_) {
    request.patchName = programPath_;
    request.searchAllowed = true;
  }
  if (!switches_.refused.empty()) return usageError(kMsgIllegalOption, switches_.refused);
  const auto help = [&] {
    console_.setSilent(false);  // asked for, it shows even with /quiet
    showUsage();
    console_.out(kOptionsHelp);
    if (slashSwitches_) console_.out(kSwitchesHelp);
    return 0;
  };
  if (switches_.usage) return help();
  std::vector<std::string> positional;
  for (const std::string& a : words_) {
    if (a == "-h") return help();
    if (a == "-t") {
      request.testMode = true;
    } else if (a == "-auto") {
      request.searchAllowed = true;
    } else if (a == "-y") {
      console_.setBatch(true);
    } else if (a == "-i") {
      listing_ = Listing::kText;
    } else if (a == "-i=json") {
      listing_ = Listing::kJson;
    } else if (!a.empty() && a[0] == '-') {
      return usageError(kMsgIllegalOption, a);
    } else {
      positional.push_back(a);
    }
  }
  if (!stub_ && !positional.empty()) {
    request.patchName = positional.front();
    positional.erase(positional.begin());
  }
  if (positional.size() > (listing_ != Listing::kNo ? 0u : 2u)) return usageError(kMsgTooManyParameters);
  if (request.patchName.empty()) return usageError(-1);
  if (listing_ != Listing::kNo) return showContents(request, listing_ == Listing::kJson);
  if (!positional.empty()) request.oldPath = request.newPath = positional[0];
  if (positional.size() > 1) request.newPath = positional[1];
  if (request.testMode) show(kMsgTestMode);
  return apply(request);
}

// pelmora -i: the patch read and checked, then described.
int ConsoleRun::showContents(const ApplyRequest& request, bool json) {
  console_.setQuiet(json);
  PatchEngine engine(console_, Numbering::kConsole, machine_, request);
  try {
    engine.guarded([&] {
      engine.load_patch();
      const PatchContents contents = engine.readContents();
      engine.cleanup();
      console_.out(json ? contentsJson(contents) : platform::cp1252ToCp850(contentsText(contents)));
    });
    return 0;
  } catch (const ApplierError& e) {
    console_.out(e.text() + "\r\n");
    return ending(1, exitCodeOf(e));
  }
}

int ConsoleRun::apply(const ApplyRequest& request) {
  PatchEngine engine(console_, Numbering::kConsole, machine_, request);
  try {
    engine.guarded([&] {
      engine.load_patch();
      std::string creator = engine.rawCreatorText();
      std::string shown = "\r\n";
      for (char c : creator) shown += c == '\0' ? std::string("\r\n") : std::string(1, c);
      console_.out(shown);
      if (engine.comment().empty()) {
        console_.pressAnyKey();
      } else {
        engine.show(kMsgCommentFollows);
        std::string comment;
        for (char c : engine.comment()) comment += c == '\r' ? std::string("\r\n") : std::string(1, c);
        console_.out(comment);
        if (!(engine.header().flags & patchformat::kHeaderNoConfirmation) &&
            !console_.ask(engine.message(kMsgConfirmPatch), "")) {
          engine.fail(kMsgDenied);
        }
      }
      engine.show(kMsgCheckingPatch);
      engine.locate_and_process(Pass::kCheck);
      if (request.testMode) {
        engine.show(kMsgApplicable, engine.target().oldPath);
      } else {
        engine.show(kMsgTestsOk);
        engine.locate_and_process(Pass::kApply);
      }
      engine.closePatch();
      engine.show(request.testMode ? kMsgTestSucceeded : kMsgSuccess);
      engine.cleanup();
    });
    return kExitApplied;
  } catch (const ApplierError& e) {
    console_.out(e.text() + "\r\n");
    return ending(1, exitCodeOf(e));
  }
}

void ConsoleRun::finish(int code) {
  // Only the log hears of the code: what a run shows stays as it was.
  if (log_.enabled()) log_.append("Exit code " + std::to_string(code) + ".\r\n");
  // Started by a double click, a self-applying patch's window would close
  // before its last words could be read.
  if (stub_ && !console_.batch() && listing_ == Listing::kNo && console_.ownsWindow()) console_.waitBeforeClosing();
}

}  // namespace

int runPelmora(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
               platform::Machine& machine, bool slashSwitches) {
  ConsoleRun run(args, programPath, console, machine, slashSwitches);
  int code;
  try {
    code = run.run();
  } catch (...) {
    // Outside of the engine's runs, which undo their own changes: nothing
    // of the target changed, and no temporary is held any more.
    console.out(unexpectedErrorText(Numbering::kConsole, std::current_exception()) + "\r\n");
    code = run.ending(1, kExitFailed);
  }
  try {
    run.finish(code);
  } catch (...) {  // the code is known: a last message that fails changes it not
  }
  console.setLog(nullptr);  // the log closes with the run
  return code;
}

}  // namespace applier
