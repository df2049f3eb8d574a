// What a patch does with each file, decided from the scanned states alone,
// before any delta is searched or any record written: an end file is
// patched from a chain of sources, embedded whole, or skipped because every
// state holds it unchanged; a start file that the end state lacks becomes
// an obsolete file where a -d pattern says so, and -D names one outright.
// Nothing here touches a disk or prints: the job tells and writes what the
// plan says, in the plan's order. Files that an -i pattern leaves out never
// reach a plan: the walk drops them before it reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "builder/options.h"
#include "builder/scanning.h"

namespace builder {

// An end file of at most this many bytes is embedded rather than patched
// unless its chain scores above kSmallFileMatchScore. Storing it whole
// costs its bytes and a 10-byte header; a patched record costs an 18-byte
// final info and a 32-byte source record per start state before any of its
// streams, so a delta of so small a file saves nothing unless it is next to
// nothing. And the byte-value fingerprint that scores a chain is coarse for
// such a file (one byte moves a share by a percent or more; similarity
// scores sources under 200 bytes 0 unless identical), so an inexact score
// says little about whether the bytes line up.
constexpr std::uint32_t kSmallFileBytes = 100;
// The score a small file's chain must pass to be patched: along the whole
// chain the byte-value shares all but agree and no byte value occurs on one
// side only (each costs 0.01). Identical files score exactly 1; they end as
// a skip, or under -f as a patch.
constexpr double kSmallFileMatchScore = 0.999;

// Whether an end file of `size` bytes whose best chain scored `score` is
// embedded: no chain at all, or a small file without an (almost) exact one.
bool embedsFile(std::uint32_t size, double score);

struct PlannedFile {
  enum class Kind { kPatch, kEmbed, kSkip };
  Kind kind;
  const FileEntry* file;               // the end state's file
  std::vector<const FileEntry*> chain;  // kPatch: its sources oldest first, the end file last
  std::uint16_t flags = 0;             // kPatch: the record's file flags (kFileOptional under -u)
};

// An obsolete file: a start file that a -d pattern removes, or a name -D gives.
struct PlannedRemoval {
  std::string name;     // the stored (relative) name
  std::string pattern;  // the -d pattern that asks for it, as written; a -D name itself
  bool named = false;   // given by -D
};

struct DirectoryPlan {
  std::vector<PlannedFile> files;        // in the end state's order
  std::vector<PlannedRemoval> removals;  // -d matches, one per name, in start state order; then the -D names
};

// The plan of one directory target. `starts` are the walked start states in
// their order (the search marks them while it runs), `end` the end state.
// `forceAll` is -f without a pattern: identical files are patched.
DirectoryPlan planDirectory(const std::vector<DirectoryStream*>& starts, const DirectoryStream& end,
                            const TargetOptions& target, bool forceAll);

// The plan of a file patch: the chain of the end file's sources, or why
// there is none. Without -f an end file that resembles no start state, or
// that every start state holds unchanged, is refused; with it the first is
// patched from every start state in the order given.
struct FilePlan {
  enum class Refusal { kNone, kNoMatch, kIdentical };
  Refusal refusal = Refusal::kNone;
  std::vector<const FileEntry*> chain;  // oldest first, the end file last
};
// `starts` hold one scanned file each, in the order the states were given.
FilePlan planFile(const FileEntry& end, const std::vector<DirectoryStream*>& starts, bool forceAll);

}  // namespace builder
