#include "applier/console.h"

#include <algorithm>

#include "applier/contents.h"
#include "patchformat/container.h"
#include "platform/codepage.h"

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
  write(message + messageText(Numbering::kConsole, kMsgYesNo));
  const int c = batch_ ? 'y' : key(-1);
  write(c > 0 ? std::string(1, static_cast<char>(c)) + "\r\n" : std::string("\r\n"));
  return c == 'y';
}

void ConsoleFrontEnd::pressAnyKey() {
  if (batch_) return;
  write(messageText(Numbering::kConsole, kMsgPressAnyKey));
  key(kKeyWaitMs);
  write("ok.\r\n");
}

void ConsoleFrontEnd::searching(const std::string& dir, std::size_t parentLength, bool entering) {
  const std::size_t n = dir.size() > parentLength ? dir.size() - parentLength : 0;
  if (entering) {
    write(platform::cp1252ToCp850(dir.substr(dir.size() - n)));
  } else {
    write(std::string(n, '\b') + std::string(n, ' ') + std::string(n, '\b'));
  }
}

namespace {

// pelmora -i: the patch read and checked, then described.
int showContents(const ApplyRequest& request, bool json, ConsoleFrontEnd& console, platform::Machine& machine) {
  console.setQuiet(json);
  PatchEngine engine(console, Numbering::kConsole, machine, request);
  try {
    engine.guarded([&] {
      engine.load_patch();
      const PatchContents contents = engine.readContents();
      engine.cleanup();
      if (json) {
        console.write(contentsJson(contents));
      } else {
        console.write(platform::cp1252ToCp850(contentsText(contents)));
      }
    });
    return 0;
  } catch (const ApplierError& e) {
    console.write(e.text() + "\r\n");
    return 1;
  }
}

int runCommandLine(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
                   platform::Machine& machine) {
  Listing listing = Listing::kNo;
  // A JSON document is all that goes to standard output.
  if (std::find(args.begin(), args.end(), "-i=json") == args.end()) console.write("Pelmora 2.2d patching technology\r\n");
  // Messages before the engine exists (none of them names the patch).
  const auto show = [&](int number, const std::string& argument = "") {
    console.show(numberedMessage(Numbering::kConsole, number, MessageValues{"", argument, ""}));
  };
  ApplyRequest request;
  const bool stub = carriesPatch(programPath, machine.files);
  if (stub) {
    request.patchName = programPath;
    request.searchAllowed = true;
  }
  // A self-applying patch is its own patch file: its usage names the
  // program and leaves the patch name out.
  const auto showUsage = [&] {
    if (!stub) return show(kMsgUsage);
    const std::size_t slash = programPath.find_last_of("\\/");
    console.write("Usage: " + platform::cp1252ToCp850(programPath.substr(slash == std::string::npos ? 0 : slash + 1)) +
                  " [-t] [-auto] [oldpath [newpath]]\r\n");
  };
  const auto usage = [&](int before, const std::string& argument = "") {
    if (before >= 0) show(before, argument);
    showUsage();
    return 1;
  };
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h") {
      showUsage();
      console.write(kOptionsHelp);
      return 0;
    }
    if (a == "-t") {
      request.testMode = true;
    } else if (a == "-auto") {
      request.searchAllowed = true;
    } else if (a == "-y") {
      console.setBatch(true);
    } else if (a == "-i") {
      listing = Listing::kText;
    } else if (a == "-i=json") {
      listing = Listing::kJson;
    } else if (!a.empty() && a[0] == '-') {
      return usage(kMsgIllegalOption, a);
    } else {
      positional.push_back(a);
    }
  }
  if (!stub && !positional.empty()) {
    request.patchName = positional.front();
    positional.erase(positional.begin());
  }
  if (positional.size() > (listing != Listing::kNo ? 0u : 2u)) return usage(kMsgTooManyParameters);
  if (request.patchName.empty()) return usage(-1);
  if (listing != Listing::kNo) return showContents(request, listing == Listing::kJson, console, machine);
  if (!positional.empty()) request.oldPath = request.newPath = positional[0];
  if (positional.size() > 1) request.newPath = positional[1];
  if (request.testMode) show(kMsgTestMode);

  PatchEngine engine(console, Numbering::kConsole, machine, request);
  try {
    engine.guarded([&] {
      engine.load_patch();
      std::string creator = engine.rawCreatorText();
      std::string shown = "\r\n";
      for (char c : creator) shown += c == '\0' ? std::string("\r\n") : std::string(1, c);
      console.write(shown);
      if (engine.comment().empty()) {
        console.pressAnyKey();
      } else {
        engine.show(kMsgCommentFollows);
        std::string comment;
        for (char c : engine.comment()) comment += c == '\r' ? std::string("\r\n") : std::string(1, c);
        console.write(comment);
        if (!(engine.header().flags & patchformat::kHeaderNoConfirmation) &&
            !console.ask(engine.message(kMsgConfirmPatch), "")) {
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
      engine.show(kMsgSuccess);
      engine.cleanup();
    });
    return 0;
  } catch (const ApplierError& e) {
    console.write(e.text() + "\r\n");
    return 1;
  }
}

}  // namespace

int runPelmora(const std::vector<std::string>& args, const std::string& programPath, ConsoleFrontEnd& console,
               platform::Machine& machine) {
  try {
    return runCommandLine(args, programPath, console, machine);
  } catch (...) {
    // Outside of the engine's runs, which undo their own changes: nothing
    // of the target changed, and no temporary is held any more.
    console.write(unexpectedErrorText(Numbering::kConsole, std::current_exception()) + "\r\n");
    return 1;
  }
}

}  // namespace applier
