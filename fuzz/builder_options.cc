// The builder's start-up as it runs: every line of the input is one
// command-line word, except that a line "VERDELIN_OPTS=text" sets that
// environment variable (unset without one). The words run in a private
// directory that holds comment.txt (for "-c=@comment.txt") and tiny states
// to name: the trees old/ and new/, and the files one.txt and two.txt. After
// the options and the usage decision come the job's checks before it writes
// anything (the targets, their states, names and sizes), wherever every
// state is named inside the private directory. A refused word or state
// comes back as a result or a FatalError; its text in both languages is
// formatted as it would be printed. The job never writes a patch here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/context.h"
#include "builder/job.h"
#include "builder/messages.h"
#include "builder/startup.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"
#include "platform/machine.h"

namespace {

const std::string kOptsPrefix = "VERDELIN_OPTS=";

fuzz_support::Workspace& workspace() {
  static fuzz_support::Workspace w;
  return w;
}

class SilentConsole : public platform::Console {
 public:
  void write(platform::Stream, const std::string&) override {}
  void flush(platform::Stream) override {}
  int readKey(int) override { return -1; }
};

// A state named below the private directory: relative, without a drive or
// a ".." step, so that the checks walk nothing else of the machine.
bool inside(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (name.compare(start, i - start, "..") == 0) return false;
      start = i + 1;
    }
  }
  return true;
}

bool statesInside(const builder::Options& options) {
  for (const builder::TargetOptions& target : options.targets) {
    for (const std::string& name : target.stateNames) {
      if (!inside(name)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SystemFileSystem files;
  files.writeWholeFile(workspace().file("comment.txt"), "First line\nsecond line\n");
  std::filesystem::create_directories(workspace().file("old/sub"));
  std::filesystem::create_directories(workspace().file("new/sub"));
  files.writeWholeFile(workspace().file("old/a.txt"), "version one of a small file\n");
  files.writeWholeFile(workspace().file("old/sub/b.dat"), "old data");
  files.writeWholeFile(workspace().file("new/a.txt"), "version two of a small file\n");
  files.writeWholeFile(workspace().file("new/sub/c.dat"), "added");
  files.writeWholeFile(workspace().file("one.txt"), "one");
  files.writeWholeFile(workspace().file("two.txt"), "two");
  std::filesystem::current_path(workspace().root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words{"kestmain"};
  ::unsetenv("VERDELIN_OPTS");
  for (std::string& line : fuzz_support::lines(data, size)) {
    if (line.compare(0, kOptsPrefix.size(), kOptsPrefix) == 0) {
      ::setenv("VERDELIN_OPTS", line.c_str() + kOptsPrefix.size(), 1);
    } else {
      words.push_back(std::move(line));
    }
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  // The refusal's texts in both languages, as either would be printed.
  {
    platform::SystemFileSystem files;
    builder::Options parsed;
    builder::setDefaults(&parsed);
    try {
      const builder::OptionError refused =
          builder::readOptions(&parsed, static_cast<int>(argv.size()), argv.data(), files);
      if (refused) {
        refused.text(false);
        refused.text(true);
      }
    } catch (const builder::FatalError&) {
    }
  }
  platform::Machine& system = platform::systemMachine();
  SilentConsole console;
  platform::Machine machine{system.files, system.locations, system.registry, console, system.commands, system.programs};
  builder::Context context(machine);
  builder::Options options;
  try {
    int exitCode = 0;
    if (builder::startRun(static_cast<int>(argv.size()), argv.data(), context, &options, &exitCode) &&
        statesInside(options)) {
      builder::checkJob(options, context);
    }
  } catch (const builder::FatalError& e) {
    e.text();
  }
  return 0;
}
