// The builder's option reading as its start-up does it: every line of the
// input is one command-line word, except that a line "VERDELIN_OPTS=text"
// sets that environment variable (unset without one). The words run in a
// private directory that holds comment.txt, for "-c=@comment.txt". A
// refused word comes back as a result (or, deeper in the builder, a
// FatalError); its text in both languages is formatted as it would be
// printed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/startup.h"
#include "diffengine/memory.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"

namespace {

const std::string kOptsPrefix = "VERDELIN_OPTS=";

fuzz_support::Workspace& workspace() {
  static fuzz_support::Workspace w;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SystemFileSystem files;
  files.writeWholeFile(workspace().file("comment.txt"), "First line\nsecond line\n");
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
  platform::SystemFileSystem files;
  builder::Options options;
  builder::setDefaults(&options);
  try {
    const builder::OptionError refused =
        builder::readOptions(&options, static_cast<int>(argv.size()), argv.data(), files);
    if (refused) {
      refused.text(false);
      refused.text(true);
    }
  } catch (const diffengine::FatalError&) {
  }
  return 0;
}
