// Scanned states and the pairing of files: which start-state files an end
// file is rebuilt from (a chain of ever older sources), which files are
// embedded whole, unchanged or removed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "builder/messages.h"
#include "builder/options.h"
#include "platform/files.h"

namespace builder {

// One file of one state, read once: size, date, attributes, checksum and the
// byte-value fingerprint that pairing uses.
struct FileEntry {
  std::string fullPath;
  std::string relativePath;  // below the state's root, "\"-separated
  std::string writtenPath;   // relativePath as the host spells it (UTF-8): what patterns match
  std::uint32_t size = 0;
  std::uint32_t date = 0;  // DOS date and time of the last write
  std::uint32_t attributes = 0;
  std::uint32_t checksum = 0;
  std::array<std::uint32_t, 256> byteCounts{};
  std::array<double, 256> byteShares{};
};

// What scanning works with: the file system, where notices and errors go,
// and the target's settings.
struct ScanContext {
  ScanContext(platform::FileSystem& f, Output& o) : files(f), out(o) {}

  platform::FileSystem& files;
  Output& out;
  const TargetOptions* target = nullptr;
  bool includeHidden = false;  // -a
  bool quiet = false;
  std::uint32_t* latestDate = nullptr;  // raised by every date taken
};

// Reads the file (message 26 ends the run when it cannot be opened or read).
std::unique_ptr<FileEntry> scanFile(const std::string& fullPath, const std::string& relativePath,
                                    const ScanContext& context);

// One state of a target: its files in the order the walk found them.
struct DirectoryStream {
  std::string rootPath;
  std::uint64_t totalBytes = 0;
  std::uint32_t index = 0;  // 0 for start state 1
  bool visited = false;
  bool isEnd = false;
  bool isDirectory = false;  // the root could be opened as a directory
  std::vector<std::unique_ptr<FileEntry>> entries;
};

// Walks `root`, each directory's names in one order on every platform
// (without regard to case); hidden entries only with -a, links to
// directories never followed (a notice unless -q).
void walkState(DirectoryStream& stream, const ScanContext& context);
// Walks every state of a target: with more than one thread each on a thread
// of its own, their notices then shown in the order of the states, and the
// first failure in that order raised, as a walk in turn would.
void walkStates(std::vector<std::unique_ptr<DirectoryStream>>& streams, const ScanContext& context, int threads);

// Stops the run when a file that the walks of the target's states would
// take has no place in a patch: a name that Windows' ANSI code page cannot
// hold (listed with '?'; the refusal names an -i pattern that leaves out
// that file alone, where there is one), or a size of 4 GiB or more. Meant
// to run before any work, on names and sizes alone; it tells nothing else
// (a missing state is left to the job).
void refuseUnfitFiles(const TargetOptions& target, const ScanContext& context);
// The refusal of a file too large for the format.
[[noreturn]] void refuseTooLarge(const Output& out, const std::string& path, std::uint64_t size);

// Relative names compare without regard to case.
bool sameName(const std::string& a, const std::string& b);
// A name as sameName compares it: two names are the same exactly when
// their keys are equal.
std::string nameKey(const std::string& name);
// Patterns match names as written (FileEntry::writtenPath), both UTF-8, so
// that a character no code page holds is matched as itself.
bool matchesPattern(const std::string& name, const std::string& pattern);
bool inList(const std::string& name, const std::vector<PatternEntry>& list);
const PatternEntry* removePatternFor(const std::string& name, const TargetOptions& target);
bool isIgnored(const std::string& displayName, const std::string& name, bool isEnd, std::uint32_t stateIndex,
               const ScanContext& context);

bool identical(const FileEntry& a, const FileEntry& b);
// How alike newer file a and candidate source b are, 0 .. 1.
double similarity(const FileEntry& a, const FileEntry& b);

// The best chain of sources for one end file over the start streams.
class ChainSearch {
 public:
  static constexpr std::size_t kChainSlots = 30;
  using Chain = std::array<const FileEntry*, kChainSlots>;

  explicit ChainSearch(std::vector<DirectoryStream*> startStreams) : streams_(std::move(startStreams)) {}

  // Tries every start stream as the first source; false when no chain scores.
  bool search(const FileEntry& end, bool exactOnly);
  double bestScore() const { return bestScore_; }
  // The best chain from the end file towards older sources, up to its first gap.
  std::vector<const FileEntry*> bestChain() const;

 private:
  double chainScore(DirectoryStream& stream, const FileEntry& target, std::size_t depth, bool exactOnly);

  std::vector<DirectoryStream*> streams_;
  Chain chain_{};
  Chain best_{};
  double bestScore_ = 0;
};

// Drops the newer entry of each identical pair along a chain (end file
// first); `sameNameOnly` and `force` give the directory patch's rules.
// The result keeps the chain's order.
std::vector<const FileEntry*> reduceChain(const std::vector<const FileEntry*>& chain, bool sameNameOnly,
                                          bool forceAll, const std::vector<PatternEntry>* forcePatterns);

}  // namespace builder
