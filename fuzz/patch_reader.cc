// The applier engine on a patch file that is the whole input: the container
// is located and its body expanded (load_patch: stored, deflate or LZMA, as
// the header says; fuzz/seeds/patch_reader holds small LZMA patches, a file
// patch and a directory patch of the example program), then every series is
// located and checked (the check pass) against an empty target directory,
// with a console that answers no to every question. Whatever the bytes, the
// run ends with a message, changes nothing and leaves no temporary.
//
// The request is the one of one of three programs, chosen by the input's
// length: pelmora (the kind from the header), the windowed directory stub
// (directory patch, neither magic nor version compared) or the windowed
// single-file stub.
#include <cstddef>
#include <cstdint>
#include <string>

#include "applier/console.h"
#include "applier/engine.h"
#include "fuzz/fuzz_support.h"
#include "tests/machine_support.h"

namespace {

fuzz_support::Workspace& workspace() {
  static fuzz_support::Workspace w;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  workspace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz_support::Workspace& w = workspace();
  const std::string patch = w.file("input.utp");
  testing_support::TestMachine test;
  if (!test.files.writeWholeFile(patch, std::string(reinterpret_cast<const char*>(data), size))) return 0;
  test.locations.windows = w.windows;
  test.locations.system = w.system;
  applier::ConsoleFrontEnd console(test.console);
  applier::ApplyRequest request;
  request.patchName = patch;
  request.oldPath = request.newPath = w.target;
  if (size % 3 == 1) {
    request.kind = applier::ApplyRequest::Kind::kDirectory;
    request.compareMagic = false;
  } else if (size % 3 == 2) {
    request.kind = applier::ApplyRequest::Kind::kSingleFile;
  }
  {
    applier::PatchEngine engine(console, applier::Numbering::kConsole, test.machine, request);
    try {
      engine.load_patch();
      engine.locate_and_process(applier::Pass::kCheck);
    } catch (const applier::ApplierError&) {
      // The usual end: the patch is corrupt, or does not fit the empty target.
    }
  }
  fuzz_support::Workspace::requireEmpty(w.target);
  fuzz_support::Workspace::requireEmpty(w.temp);
  return 0;
}
