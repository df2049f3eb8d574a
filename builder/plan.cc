#include "builder/plan.h"

#include "patchformat/container.h"

namespace builder {
namespace {

// Chains come from the search end file first; records want them oldest first.
std::vector<const FileEntry*> oldestFirst(const std::vector<const FileEntry*>& chain) {
  return std::vector<const FileEntry*>(chain.rbegin(), chain.rend());
}

}  // namespace

bool embedsFile(std::uint32_t size, double score) {
  return score == 0.0 || (size <= kSmallFileBytes && score <= kSmallFileMatchScore);
}

DirectoryPlan planDirectory(const std::vector<DirectoryStream*>& starts, const DirectoryStream& end,
                            const TargetOptions& target, bool forceAll) {
  DirectoryPlan plan;
  ChainSearch search(starts);
  for (const auto& f : end.entries) {
    search.search(*f, inList(f->writtenPath, target.exactPatterns));
    if (embedsFile(f->size, search.bestScore())) {
      plan.files.push_back(PlannedFile{PlannedFile::Kind::kEmbed, f.get(), {}});
      continue;
    }
    const std::vector<const FileEntry*> kept = reduceChain(search.bestChain(), true, forceAll, &target.forcePatterns);
    if (kept.size() == 1) {
      plan.files.push_back(PlannedFile{PlannedFile::Kind::kSkip, f.get(), {}});
      continue;
    }
    PlannedFile patched{PlannedFile::Kind::kPatch, f.get(), oldestFirst(kept)};
    patched.flags = inList(f->writtenPath, target.unimportantPatterns) ? patchformat::kFileOptional : 0;
    plan.files.push_back(std::move(patched));
  }
  // Files that the end state lacks are removed where a -d pattern says so:
  // one record per name, however many start states have it (the applier
  // removes what the name finds, once).
  for (const DirectoryStream* s : starts) {
    for (const auto& e : s->entries) {
      bool seen = false;
      for (const auto& f : end.entries) seen = seen || sameName(f->relativePath, e->relativePath);
      for (const PlannedRemoval& r : plan.removals) seen = seen || sameName(r.name, e->relativePath);
      if (seen) continue;
      const PatternEntry* p = removePatternFor(e->writtenPath, target);
      if (p != nullptr) plan.removals.push_back(PlannedRemoval{e->relativePath, p->pattern, false});
    }
  }
  for (const PatternEntry& name : target.removeFiles) {
    plan.removals.push_back(PlannedRemoval{name.pattern, name.pattern, true});
  }
  return plan;
}

FilePlan planFile(const FileEntry& end, const std::vector<DirectoryStream*>& starts, bool forceAll) {
  FilePlan plan;
  ChainSearch search(starts);
  if (!search.search(end, false)) {
    if (!forceAll) {
      plan.refusal = FilePlan::Refusal::kNoMatch;
      return plan;
    }
    // Forced: every start state in the order given, whatever they score.
    for (const DirectoryStream* s : starts) plan.chain.push_back(s->entries[0].get());
    plan.chain.push_back(&end);
    return plan;
  }
  const std::vector<const FileEntry*> kept = reduceChain(search.bestChain(), false, forceAll, nullptr);
  if (kept.size() == 1) {
    plan.refusal = FilePlan::Refusal::kIdentical;
    return plan;
  }
  plan.chain = oldestFirst(kept);
  return plan;
}

}  // namespace builder
