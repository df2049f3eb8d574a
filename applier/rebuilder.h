// Which version of a patched file is installed, and the new version
// rebuilt from it along the patch's chain of deltas (start version ->
// ... -> final), each step decoded from the expanded body and checked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "applier/part_failure.h"
#include "applier/patch_body.h"
#include "applier/temporaries.h"
#include "patchformat/container.h"
#include "platform/files.h"

namespace applier {

// One source of a patched file as the record walk found it.
struct SourceEntry {
  std::string name;
  patchformat::SourceRecord record;
  patchformat::ExclusionWindow window;
  std::uint64_t streamOffset = 0;  // in the expanded body
};

// Whether the volume of `dir` has room for `bytes` more (small amounts
// always do; a volume that does not tell is given the benefit of the doubt).
bool hasRoom(platform::FileSystem& files, const std::string& dir, std::uint64_t bytes);
// The same, failing the run with the message of a full disk (message 45).
void requireRoom(platform::FileSystem& files, const std::string& dir, std::uint64_t bytes);
// The failure that the expanded body's error stands for.
PartFailure bodyFailure(const ExpandedBody& body, const std::string& tempDirectory);

class ChainRebuilder {
 public:
  // What was found of a patched file.
  enum class Outcome {
    kAlreadyFinal,      // the target holds the new version
    kFinalInPlace,      // the old place (another path than the target) holds it: `path`
    kRebuilt,           // rebuilt from a start version found: `path`, its `checksum`
    kNoMatchingSource,  // neither the new version nor any start version is there
  };
  struct Result {
    Outcome outcome = Outcome::kNoMatchingSource;
    std::string path;
    std::uint32_t checksum = 0;
  };
  // How a delta's source is taken.
  enum class Source {
    kMustMatch,  // an installed file: another size or checksum (or none) is no match
    kTrusted,    // the previous step's result: it must be there
  };
  // Where a step writes, and what it reports of its output.
  struct StepOutput {
    std::string dir;  // empty: the temporary directory
    // When set, `checksum` is the output's checksum with this window,
    // taken while it is written.
    const patchformat::ExclusionWindow* window = nullptr;
    std::string path;  // the temporary file written
    std::uint32_t checksum = 0;
  };

  // `pump` is called while deltas are decoded; it may end the run by
  // throwing.
  ChainRebuilder(platform::FileSystem& files, TempFiles& temps, std::function<void()> pump)
      : files_(files), temps_(temps), pump_(std::move(pump)) {}
  // The expanded body that the deltas' streams are read from, and the file
  // that holds it; null before a patch is loaded.
  void setBody(ExpandedBody* body, platform::File* storage) {
    body_ = body;
    storage_ = storage;
  }

  // Whether the new version stands at `target` already, or at `inPlace`
  // (the old place, when the old and new paths differ).
  Result findFinal(const patchformat::FinalInfo& info, const patchformat::ExclusionWindow& window,
                   const std::string& target, const std::string& inPlace);
  // Runs the chain from the first source found at `sourcePaths(i)` (each
  // path tried in turn) to the final file, the last step written into
  // `finalDir` (empty: the temporary directory; otherwise `makeFinalDir`
  // runs just before that step): kRebuilt, or kNoMatchingSource when no
  // source matches.
  Result rebuild(const std::vector<SourceEntry>& sources, const patchformat::FinalInfo& info,
                 const patchformat::ExclusionWindow& finalWindow,
                 const std::function<std::vector<std::string>(const SourceEntry&)>& sourcePaths,
                 const std::string& finalDir, const std::function<void()>& makeFinalDir = nullptr);
  // One step: the next state from `sourcePath` into a new temporary file.
  // False when a source taken kMustMatch does not match.
  bool rebuildStep(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize, Source how,
                   StepOutput* output);
  // Verified final files that the check pass of a real run keeps in the
  // temporary directory for the apply pass, by the body offset of their
  // record: a second decode of the same delta is saved. keep() takes
  // `path` (of a file of `size` bytes) while the budget allows, and says
  // whether it did; takeKept() hands it over once, empty when none.
  bool keep(std::uint64_t record, const std::string& path, std::uint64_t size);
  std::string takeKept(std::uint64_t record);
  // The budget of kept files (default 1 GiB); beyond it the apply pass
  // decodes their deltas again.
  void setKeepBudget(std::uint64_t bytes) { keepBudget_ = bytes; }
  // Forgets the kept files (the run's temporaries, deleted with them).
  void forgetKept() {
    kept_.clear();
    keptBytes_ = 0;
  }

  // Whether the file `path` is the new version.
  bool matchesFinal(const std::string& path, const patchformat::FinalInfo& info,
                    const patchformat::ExclusionWindow& window);

 private:
  platform::FileSystem& files_;
  TempFiles& temps_;
  const std::function<void()> pump_;
  ExpandedBody* body_ = nullptr;
  platform::File* storage_ = nullptr;
  std::map<std::uint64_t, std::string> kept_;
  std::uint64_t keptBytes_ = 0;
  std::uint64_t keepBudget_ = std::uint64_t{1} << 30;
};

}  // namespace applier
