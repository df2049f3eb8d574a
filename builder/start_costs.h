// What each start state of a target costs its users: the bytes of the
// records its update takes (before the body's compression), that is the
// steps of every patched file from the source its file matches on (as an
// applier finds it), and every embedded file. A patch made for that state
// alone would need about these; one patch for several states makes every
// user download all of them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "builder/delta_scheduler.h"
#include "builder/scanning.h"

namespace builder {

class StartCosts {
 public:
  // `starts`: the target's start states in order; in a file patch each
  // holds its one file, and names play no part.
  StartCosts(std::vector<const DirectoryStream*> starts, bool directoryMode);

  // A patched file stored as `name`: its chain (oldest first, the end
  // file last) and the streams of its steps.
  void patched(const std::string& name, const std::vector<StateName>& chain, const ChainDeltas& deltas);
  void embedded(std::uint64_t bytes);
  // Per start state, in order.
  const std::vector<std::uint64_t>& bytes() const { return bytes_; }

 private:
  // The file of start state `k` that an applier would compare with a file
  // of `name` in the chain; null when there is none.
  const FileEntry* fileOf(std::size_t k, const std::string& name) const;

  std::vector<const DirectoryStream*> starts_;
  bool directoryMode_;
  // Per start state of a directory patch: its files by nameKey().
  std::vector<std::unordered_map<std::string, const FileEntry*>> byName_;
  std::vector<std::uint64_t> bytes_;
};

}  // namespace builder
