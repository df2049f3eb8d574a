// The console applier's command line: every line of the input is one
// argument after the program name. A first line "#stub" runs the applier as
// a self-applying patch, whose own program file carries the patch. The run
// happens in a private directory that holds small.utp, a small directory
// patch whose comment asks for confirmation; the scripted console answers
// no, so a run that gets that far ends before it locates anything.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "applier/console.h"
#include "fuzz/fuzz_support.h"
#include "patchformat/container.h"
#include "tests/machine_support.h"

namespace {

fuzz_support::Workspace& workspace() {
  static fuzz_support::Workspace w;
  return w;
}

std::string smallPatch() {
  const std::string creator = "fuzz";
  const std::string comment = "Apply the small patch?";
  std::string body;
  patchformat::BodyWriter writer(&body);
  writer.writeTexts(creator, comment);
  writer.writeSeriesHeader(true, patchformat::SeriesHeader{});
  writer.writeEnd();
  patchformat::PatchHeader header;
  header.kind = patchformat::kKindDirectory;
  header.creatorLength = static_cast<std::uint16_t>(creator.size());
  header.commentLength = static_cast<std::uint16_t>(comment.size());
  const std::string file = header.encode() + body;
  patchformat::PatchTrailer trailer;
  trailer.length = static_cast<std::uint32_t>(file.size() + patchformat::kTrailerSize);
  return file + trailer.encode();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SystemFileSystem files;
  files.writeWholeFile(workspace().file("small.utp"), smallPatch());
  std::filesystem::current_path(workspace().root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz_support::Workspace& w = workspace();
  std::vector<std::string> args = fuzz_support::lines(data, size);
  std::string program = w.file("pelmora");
  if (!args.empty() && args[0] == "#stub") {
    program = w.file("small.utp");
    args.erase(args.begin());
  }
  args.insert(args.begin(), "pelmora");
  testing_support::TestMachine test;
  test.locations.windows = w.windows;
  test.locations.system = w.system;
  test.console.keys = "n";
  applier::ConsoleFrontEnd console(test.console);
  applier::runPelmora(args, program, console, test.machine);
  fuzz_support::Workspace::requireEmpty(w.temp);
  return 0;
}
