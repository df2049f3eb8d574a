// Changing the target on disk, in the apply pass only. The order of the
// steps keeps every file whole whenever the run ends, even abruptly:
//   1. the new file is written completely beside its target under a
//      temporary name and flushed to the disk;
//   2. the earlier version is renamed into the backup directory (directory
//      patches), or aside under a temporary name;
//   3. the new file is renamed into place (a single-file patch's one rename
//      replaces the original at once).
// Each step is recorded first: an error at any point of the apply pass
// undoes every change of the run. A run that stopped abruptly between the
// steps leaves only whole files: the target's old or new version, or the
// old one in the backup, where a rerun takes its source from. The rerun
// then removes the temporaries the stopped run left (sweepTemporaries).
#include <vector>

#include "applier/engine.h"

namespace applier {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;

}  // namespace

std::string directoryPart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

std::string PatchEngine::backupLocation(const std::string& name) const {
  return target_.newPath + "\\" + backupDirName_ + "\\" + name;
}

void PatchEngine::make_dirs(const std::string& path) {
  // Errors (existing directories, drive roots) are left to the create that follows.
  for (std::size_t i = 1; i < path.size(); ++i) {
    if ((path[i] == '\\' || path[i] == '/') && files_.makeDirectory(path.substr(0, i))) {
      madeDirs_.push_back(path.substr(0, i));
    }
  }
}

void PatchEngine::delete_file(const std::string& path) {
  files_.setAttributes(path, 0);
  files_.deleteFile(path);
}

void PatchEngine::stamp(const std::string& path, std::uint32_t dosDateTime) {
  files_.setLastWriteTime(path, dosDateTime);  // a time that cannot be converted is not set
}

std::string PatchEngine::moveAside(const std::string& file) {
  std::string aside;
  if (!TempNames(files_, directoryPart(file)).adopt(file, &aside)) fail(kMsgBackupDenied);
  return aside;
}

void PatchEngine::backup_file(const std::string& file, const std::string& name, std::size_t change) {
  if (!files_.fileExists(file)) return;
  const std::string location = backupLocation(name);
  make_dirs(location);
  // An earlier backup of the same name is replaced, but kept aside until
  // the whole run has succeeded.
  if (files_.fileExists(location)) {
    changes_[change].backupPlace = location;
    changes_[change].olderBackup = moveAside(location);
  }
  if (!files_.moveFile(file, location)) fail(kMsgBackupDenied);
  changes_[change].earlier = location;
}

// The journal is undone newest change first: a file's earlier version is
// moved back once the new one is gone, then an older backup back into the
// backup directory; a file that had no earlier version is removed.
void PatchEngine::undoChanges() {
  for (auto c = changes_.rbegin(); c != changes_.rend(); ++c) {
    if (c->placed) delete_file(c->target);
    if (!c->earlier.empty()) files_.moveFile(c->earlier, c->target);
    if (!c->olderBackup.empty()) files_.moveFile(c->olderBackup, c->backupPlace);
  }
  for (auto d = madeDirs_.rbegin(); d != madeDirs_.rend(); ++d) files_.removeDirectory(*d);
  changes_.clear();
  madeDirs_.clear();
}

std::size_t PatchEngine::recordChange(const std::string& target) {
  changes_.emplace_back();
  changes_.back().target = target;
  return changes_.size() - 1;
}

void PatchEngine::commitChanges() {
  // From here on the run is complete and nothing is undone: an earlier
  // version deleted below could not be put back. What follows only tidies
  // up; its failures, of any kind, are passed over like those of a
  // deletion, and what they leave the next run's sweep removes.
  std::vector<Change> done;
  done.swap(changes_);
  madeDirs_.clear();
  try {
    for (const Change& c : done) {
      if (!c.olderBackup.empty()) delete_file(c.olderBackup);
      if (c.earlierAside) delete_file(c.earlier);
    }
    sweepTemporaries();
  } catch (...) {
  }
}

void PatchEngine::noteTemporaryPlaces(const std::string& name) {
  if (!directoryPatch_) {
    temporaryPlaces_.insert(directoryPart(target_.newPath));
    return;
  }
  for (const std::string& path : {target_.newPath + "\\" + name, backupLocation(name)}) {
    for (std::size_t i = target_.newPath.size(); i < path.size(); ++i) {
      if (path[i] == '\\' || path[i] == '/') temporaryPlaces_.insert(path.substr(0, i + 1));
    }
  }
}

// A run that stopped abruptly (a crash, a power cut) ran no clean-up: it
// may have left staged new files, earlier versions moved aside and probe
// files, all under temporary names, where this run makes its own. None of
// them is needed once this run is complete: every file then stands in its
// new version and its earlier one in the backup.
void PatchEngine::sweepTemporaries() {
  for (const std::string& dir : temporaryPlaces_) {
    std::vector<std::string> names;
    if (!files_.listDirectory(dir, &names)) continue;
    for (const std::string& name : names) {
      if (TempNames::isTemporaryName(name) && !temps_.holds(dir + name)) delete_file(dir + name);
    }
  }
  temporaryPlaces_.clear();
}

void PatchEngine::replace_file(const std::string& result, bool resultIsStaged, bool finalInPlace,
                               const std::string& target, const std::string& name, std::uint32_t size,
                               std::uint32_t dosDateTime) {
  std::string staged = result;
  if (!resultIsStaged) {
    if (result == target) return;
    make_dirs(target);
    // A result kept in the temporary directory is renamed beside the target
    // where both lie on one volume, and copied otherwise.
    if (!temps_.moveInto(result, directoryPart(target), &staged)) {
      std::unique_ptr<platform::File> in, out;
      if (!temps_.create(directoryPart(target), &out, &staged)) fail(kMsgReplaceDenied);
      if (!(in = files_.open(result, platform::File::Mode::kRead))) fail(kMsgTempOpenFailed);
      std::vector<char> buffer(kCopyBlock);
      for (;;) {
        const long n = in->read(buffer.data(), buffer.size());
        if (n < 0) fail(kMsgSourceReadFailed);
        if (n == 0) break;
        if (!out->write(buffer.data(), static_cast<std::size_t>(n))) fail(kMsgWriteFailed);
      }
      if (!out->flushToDisk() || !out->close()) fail(kMsgWriteFailed);
    }
    // The result was verified in the temporary directory; what stands
    // beside the target now must still be all of it.
    platform::FileStatus status;
    if (!files_.fileStatus(staged, &status) || status.size != size) fail(kMsgWriteFailed);
  }
  // A single-file patch keeps no backup: the rename replaces the original
  // only now that its successor is complete.
  putInPlace(staged, target, name, dosDateTime, directoryPatch_ && !finalInPlace);
}

void PatchEngine::putInPlace(const std::string& staged, const std::string& target, const std::string& name,
                             std::uint32_t dosDateTime, bool backup) {
  stamp(staged, dosDateTime);
  files_.keepAccessRights(target, staged);
  const bool existed = files_.fileExists(target);
  // A single-file patch's one file is its last change: the rename replaces
  // the original only now that its successor is complete, and nothing after
  // it can fail. Everything else is recorded before it is done.
  if (existed && !backup && !directoryPatch_) {
    if (!files_.moveFile(staged, target)) fail(kMsgReplaceDenied);
    temps_.release(staged);
    return;
  }
  const std::size_t change = recordChange(target);
  if (existed && backup) {
    backup_file(target, name, change);
  } else if (existed) {
    changes_[change].earlier = moveAside(target);
    changes_[change].earlierAside = true;
  }
  changes_[change].placed = true;
  if (!files_.moveFile(staged, target)) fail(kMsgReplaceDenied);
  temps_.release(staged);
}

void PatchEngine::write_embedded(const std::string& target, const std::string& name, std::uint64_t content,
                                 std::uint32_t size, std::uint32_t dosDateTime) {
  make_dirs(target);
  requireRoom(directoryPart(target), size);
  std::unique_ptr<platform::File> out;
  std::string staged;
  if (!temps_.create(directoryPart(target), &out, &staged)) failFile(kMsgWritingFileFailed, name);
  bool writeFailed = false;
  if (!body_->stream(content, size, [&](const std::uint8_t* data, std::size_t n) {
        return out->write(data, n) || (writeFailed = true, false);
      })) {
    if (writeFailed) failFile(kMsgWritingFileFailed, name);
    bodyFailed();
  }
  if (!out->flushToDisk() || !out->close()) failFile(kMsgWritingFileFailed, name);
  putInPlace(staged, target, name, dosDateTime, true);
}

}  // namespace applier
