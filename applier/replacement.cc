// Changing the target on disk, in the apply pass only. The order of the
// steps keeps every file whole whenever the run ends, even abruptly:
//   1. the new file is written completely beside its target under a
//      temporary name and flushed to the disk;
//   2. the earlier version is renamed into the backup directory (directory
//      patches), or aside under a temporary name;
//   3. the new file is renamed into place (a single-file patch's one rename
//      replaces the original at once).
// Each step is noted in the run's journal (journal.h) before it is made:
// an error or an interrupt at any point of the apply pass undoes every
// change of the run. A run that was killed between the steps leaves only
// whole files and its journal file; the next run on the target puts the
// target back from that file, or finishes its tidy-up, and removes the
// temporaries the killed run left (sweepTemporaries).
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
    if ((path[i] != '\\' && path[i] != '/') || files_.isDirectory(path.substr(0, i))) continue;
    journal_.note(RunJournal::Kind::kMadeDirectory, path.substr(0, i));
    files_.makeDirectory(path.substr(0, i));
  }
}

void PatchEngine::removeEmptiedDirectories(const std::string& file) {
  const std::string root = journalDirectory(target_);
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

void PatchEngine::delete_file(const std::string& path) {
  files_.setAttributes(path, 0);
  files_.deleteFile(path);
}

void PatchEngine::stamp(const std::string& path, std::uint32_t dosDateTime) {
  files_.setLastWriteTime(path, dosDateTime);  // a time that cannot be converted is not set
}

std::string PatchEngine::moveAside(const std::string& file) {
  std::string aside;
  const auto noteIt = [this, &file](const std::string& name) {
    journal_.note(RunJournal::Kind::kAside, file, name);
  };
  if (!temps_.namesIn(directoryPart(file)).adopt(file, &aside, noteIt)) fail(kMsgBackupDenied);
  return aside;
}

void PatchEngine::backup_file(const std::string& file, const std::string& name) {
  if (!files_.fileExists(file)) return;
  const std::string location = backupLocation(name);
  make_dirs(location);
  // An earlier backup of the same name is replaced, but kept aside until
  // the whole run has succeeded.
  if (files_.fileExists(location)) moveAside(location);
  journal_.note(RunJournal::Kind::kMove, file, location);
  if (!files_.moveFile(file, location)) fail(kMsgBackupDenied);
}

void PatchEngine::undoChanges() { journal_.undo(); }

// The journal of the current target's directory, with the places where
// the check pass found that temporaries are made there.
void PatchEngine::startJournal() {
  if (!journal_.start(journalDirectory(target_))) fail(kMsgReplaceDenied);
  const std::string root = journalDirectory(target_);
  for (const std::string& dir : temporaryPlaces_) {
    if (dir.compare(0, root.size(), root) == 0) journal_.note(RunJournal::Kind::kTemporaries, dir);
  }
}

std::string PatchEngine::journalDirectory(const TargetPaths& target) const {
  return directoryPatch_ ? target.newPath + "\\" : directoryPart(target.newPath);
}

void PatchEngine::commitChanges() {
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
    deleteTemporariesIn(files_, dir, [this](const std::string& path) { return temps_.holds(path); });
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
  if (existed && backup) {
    backup_file(target, name);
  } else if (existed) {
    moveAside(target);
  }
  journal_.note(RunJournal::Kind::kPlace, staged, target);
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
