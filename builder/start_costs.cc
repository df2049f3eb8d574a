#include "builder/start_costs.h"

namespace builder {

StartCosts::StartCosts(std::vector<const DirectoryStream*> starts, bool directoryMode)
    : starts_(std::move(starts)), directoryMode_(directoryMode), byName_(starts_.size()), bytes_(starts_.size(), 0) {
  if (!directoryMode_) return;
  for (std::size_t k = 0; k < starts_.size(); ++k) {
    // The first of names that differ only in case, as a walk finds it.
    for (const auto& e : starts_[k]->entries) byName_[k].emplace(nameKey(e->relativePath), e.get());
  }
}

const FileEntry* StartCosts::fileOf(std::size_t k, const std::string& name) const {
  if (!directoryMode_) return starts_[k]->entries.empty() ? nullptr : starts_[k]->entries[0].get();
  const auto found = byName_[k].find(nameKey(name));
  return found == byName_[k].end() ? nullptr : found->second;
}

void StartCosts::patched(const std::string& name, const std::vector<StateName>& chain, const ChainDeltas& deltas) {
  const StateName& last = chain.back();
  for (std::size_t k = 0; k < starts_.size(); ++k) {
    // Already the final file: nothing to take.
    const FileEntry* own = fileOf(k, name);
    if (own != nullptr && own->size == last.size && own->checksum == last.entry->checksum) continue;
    // The first source the state's file matches, and every step from there.
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
      const FileEntry* file = fileOf(k, chain[i].relativePath);
      if (file == nullptr || file->size != chain[i].size || file->checksum != chain[i].entry->checksum) continue;
      for (std::size_t j = i; j < deltas.records.size(); ++j) bytes_[k] += deltas.records[j].streamsTotal();
      break;
    }
  }
}

void StartCosts::embedded(std::uint64_t bytes) {
  for (std::uint64_t& b : bytes_) b += bytes;
}

}  // namespace builder
