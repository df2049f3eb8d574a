#include "applier/changes.h"

#include <memory>
#include <vector>

namespace applier {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;

}  // namespace

std::string directoryPart(const std::string& path) {
  const std::size_t slash = platform::lastSeparator(path);
  return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

void TargetChanges::setTarget(bool directoryPatch, const std::string& newPath, const std::string& backupDirName) {
  directoryPatch_ = directoryPatch;
  newPath_ = newPath;
  backupDirName_ = backupDirName;
}

std::string TargetChanges::backupLocation(const std::string& name) const {
  return newPath_ + "\\" + backupDirName_ + "\\" + name;
}

std::string targetRoot(bool directoryPatch, const std::string& newPath) {
  return directoryPatch ? newPath + "\\" : directoryPart(newPath);
}

std::string TargetChanges::rootDirectory() const { return targetRoot(directoryPatch_, newPath_); }

void TargetChanges::noteTemporaryPlaces(const std::string& name) {
  if (!directoryPatch_) {
    temporaryPlaces_.insert(directoryPart(newPath_));
    return;
  }
  for (const std::string& path : {newPath_ + "\\" + name, backupLocation(name)}) {
    for (std::size_t i = newPath_.size(); i < path.size(); ++i) {
      if (path[i] == '\\' || path[i] == '/') temporaryPlaces_.insert(path.substr(0, i + 1));
    }
  }
}

void TargetChanges::startJournal(const std::vector<std::string>& temporaries) {
  const std::string root = rootDirectory();
  std::vector<RunJournal::Step> first;
  for (const std::string& dir : temporaryPlaces_) {
    if (dir.compare(0, root.size(), root) == 0) first.push_back({RunJournal::Kind::kTemporaries, dir, ""});
  }
  for (const std::string& path : temporaries) first.push_back({RunJournal::Kind::kTemporary, path, ""});
  if (!journal_.start(root, first)) throw PartFailure(kMsgReplaceDenied);
}

void TargetChanges::makeDirectories(const std::string& path) {
  // Errors (existing directories, drive roots) are left to the create that follows.
  for (std::size_t i = 1; i < path.size(); ++i) {
    if ((path[i] != '\\' && path[i] != '/') || files_.isDirectory(path.substr(0, i))) continue;
    journal_.note(RunJournal::Kind::kMadeDirectory, path.substr(0, i));
    files_.makeDirectory(path.substr(0, i));
  }
}

void TargetChanges::removeEmptiedDirectories(const std::string& file) {
  const std::string root = rootDirectory();
  std::string dir = directoryPart(file);
  while (dir.size() > root.size() && dir.compare(0, root.size(), root) == 0) {
    dir.pop_back();
    std::vector<std::string> names;
    if (!files_.listDirectory(dir, &names) || !names.empty()) return;
    journal_.note(RunJournal::Kind::kRemovedDirectory, dir);
    if (!files_.removeDirectory(dir)) return;
    dir = directoryPart(dir);
  }
}

std::string TargetChanges::moveAside(const std::string& file) {
  std::string aside;
  const auto noteIt = [this, &file](const std::string& name) {
    journal_.note(RunJournal::Kind::kAside, file, name);
  };
  if (!temps_.namesIn(directoryPart(file)).adopt(file, &aside, noteIt)) throw PartFailure(kMsgBackupDenied);
  return aside;
}

void TargetChanges::backupFile(const std::string& file, const std::string& name) {
  if (!files_.fileExists(file)) return;
  const std::string location = backupLocation(name);
  makeDirectories(location);
  // An earlier backup of the same name is replaced, but kept aside until
  // the whole run has succeeded.
  if (files_.fileExists(location)) moveAside(location);
  // The location is free now; should an older backup stand there unseen,
  // the rename fails rather than replace it.
  journal_.note(RunJournal::Kind::kMove, file, location);
  if (!files_.moveFileNew(file, location)) throw PartFailure(kMsgBackupDenied);
}

void TargetChanges::commit() {
  // From here on the run is complete and nothing is undone: an earlier
  // version deleted below could not be put back. What follows only tidies
  // up; its failures, of any kind, are passed over like those of a
  // deletion, and what they leave the next run's sweep removes.
  try {
    journal_.complete();
    sweepTemporaries();
  } catch (...) {
  }
}

// A run that stopped abruptly (a crash, a power cut) ran no clean-up: it
// may have left staged new files, earlier versions moved aside and probe
// files, all under temporary names, where this run makes its own. None of
// them is needed once this run is complete: every file then stands in its
// new version and its earlier one in the backup.
void TargetChanges::sweepTemporaries() {
  for (const std::string& dir : temporaryPlaces_) {
    deleteTemporariesIn(files_, dir, [this](const std::string& path) { return temps_.holds(path); });
  }
  temporaryPlaces_.clear();
}

void TargetChanges::replaceFile(const std::string& result, bool resultIsStaged, bool finalInPlace,
                                const std::string& target, const std::string& name, std::uint32_t size,
                                std::uint32_t dosDateTime) {
  std::string staged = result;
  if (!resultIsStaged) {
    if (result == target) return;
    makeDirectories(target);
    // A result kept in the temporary directory is renamed beside the target
    // where both lie on one volume, and copied otherwise.
    if (!temps_.moveInto(result, directoryPart(target), &staged)) {
      std::unique_ptr<platform::File> in, out;
      if (!temps_.create(directoryPart(target), &out, &staged)) throw PartFailure(kMsgReplaceDenied);
      if (!(in = files_.open(result, platform::File::Mode::kRead))) throw PartFailure(kMsgTempOpenFailed);
      std::vector<char> buffer(kCopyBlock);
      for (;;) {
        const long n = in->read(buffer.data(), buffer.size());
        if (n < 0) throw PartFailure(kMsgSourceReadFailed);
        if (n == 0) break;
        if (!out->write(buffer.data(), static_cast<std::size_t>(n))) throw PartFailure(kMsgWriteFailed);
      }
      if (!out->flushToDisk() || !out->close()) throw PartFailure(kMsgWriteFailed);
    }
    // The result was verified in the temporary directory; what stands
    // beside the target now must still be all of it.
    platform::FileStatus status;
    if (!files_.fileStatus(staged, &status) || status.size != size) throw PartFailure(kMsgWriteFailed);
  }
  // A single-file patch keeps no backup: the rename replaces the original
  // only now that its successor is complete.
  putInPlace(staged, target, name, dosDateTime, directoryPatch_ && !finalInPlace);
}

void TargetChanges::putInPlace(const std::string& staged, const std::string& target, const std::string& name,
                               std::uint32_t dosDateTime, bool backup) {
  files_.setLastWriteTime(staged, dosDateTime);  // a time that cannot be converted is not set
  files_.keepAccessRights(target, staged);
  const bool existed = files_.fileExists(target);
  // A single-file patch's one file is its last change: the rename replaces
  // the original only now that its successor is complete, and nothing after
  // it can fail. Everything else is noted before it is done.
  if (existed && !backup && !directoryPatch_) {
    if (!files_.moveFile(staged, target)) throw PartFailure(kMsgReplaceDenied);
    temps_.release(staged);
    return;
  }
  if (existed && backup) {
    backupFile(target, name);
  } else if (existed) {
    moveAside(target);
  }
  // Nothing stands at the target now: a rename that would replace a file
  // (one whose status could not be read above) fails instead, and the file
  // is kept.
  journal_.note(RunJournal::Kind::kPlace, staged, target);
  if (!files_.moveFileNew(staged, target)) throw PartFailure(kMsgReplaceDenied);
  temps_.release(staged);
}

}  // namespace applier
