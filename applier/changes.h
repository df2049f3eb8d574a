// The changes an apply pass makes to a target on disk, and their journal.
// The order of the steps keeps every file whole whenever the run ends,
// even abruptly:
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
// temporaries the killed run left.
//
// Failures end the run: they throw PartFailure, after which the engine
// calls undo().
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "applier/journal.h"
#include "applier/part_failure.h"
#include "applier/temporaries.h"
#include "platform/files.h"

namespace applier {

// The directory part of `path` with its separator; ".\" for a bare name.
std::string directoryPart(const std::string& path);
// The own directory of a target whose new path is `newPath`, ending in a
// separator: where its journal lies.
std::string targetRoot(bool directoryPatch, const std::string& newPath);

class TargetChanges {
 public:
  // `files` and `temps` outlive this.
  TargetChanges(platform::FileSystem& files, TempFiles& temps) : files_(files), temps_(temps), journal_(files) {}

  // The target the next calls concern: its new path and, for a directory
  // patch, the name of its backup directory.
  void setTarget(bool directoryPatch, const std::string& newPath, const std::string& backupDirName);
  // Where the backup of the target's file `name` goes.
  std::string backupLocation(const std::string& name) const;
  // The target's own directory, ending in a separator: where its journal lies.
  std::string rootDirectory() const;

  // Remembers where a run of this patch makes temporaries for the record
  // `name`: beside its target and its backup, and (probe files) in any
  // directory from the target's root down to those.
  void noteTemporaryPlaces(const std::string& name);
  // Starts the journal of the apply pass in the target's directory, with
  // the places of temporaries noted there and the run's `temporaries` in
  // the temporary directory.
  void startJournal(const std::vector<std::string>& temporaries);
  // Notes a temporary the run made in the temporary directory since.
  void noteTemporary(const std::string& path) { journal_.note(RunJournal::Kind::kTemporary, path); }

  // --- the steps of the apply pass; `name` is the record's file ---
  // Creates every directory on the way to the file `path`.
  void makeDirectories(const std::string& path);
  // The verified `result` of a patched file becomes `target`: staged (it
  // lies beside the target already), or copied or moved there from the
  // temporary directory first, where it must still have `size` bytes. The
  // earlier version goes to the backup unless the final file was found in
  // place (`finalInPlace`) or the patch keeps no backup.
  void replaceFile(const std::string& result, bool resultIsStaged, bool finalInPlace, const std::string& target,
                   const std::string& name, std::uint32_t size, std::uint32_t dosDateTime);
  // The complete new file `staged` beside `target` gets its date and the
  // target's access rights, the target goes to the backup (`backup`) or
  // aside, and the new file takes its place.
  void putInPlace(const std::string& staged, const std::string& target, const std::string& name,
                  std::uint32_t dosDateTime, bool backup);
  // Moves `file` into the backup directory as `name`.
  void backupFile(const std::string& file, const std::string& name);
  // Removes the directories of `file` that are empty now (an obsolete file
  // moved to the backup), up to the target's own directory.
  void removeEmptiedDirectories(const std::string& file);

  // Puts every file that the apply pass changed back as it was, newest
  // change first, and removes the directories it made. Called while the
  // run's temporaries still exist: a staged file that is still there was
  // never renamed into place. Once they are deleted, removeLeftDirectories
  // removes the directories that held them.
  void undo() { journal_.undo(); }
  void removeLeftDirectories() { journal_.removeLeftDirectories(); }
  // The apply pass is complete: earlier versions moved aside are deleted,
  // and so are the temporaries of an earlier run that stopped abruptly.
  // Nothing here fails the run.
  void commit();

 private:
  // A free temporary name beside `file`, which is renamed to it. The file
  // is not one of the run's temporaries: an interrupt must never delete an
  // earlier version.
  std::string moveAside(const std::string& file);
  void sweepTemporaries();

  platform::FileSystem& files_;
  TempFiles& temps_;
  RunJournal journal_;
  bool directoryPatch_ = false;
  std::string newPath_;
  std::string backupDirName_;
  std::set<std::string> temporaryPlaces_;  // directories, each ending in a separator
};

}  // namespace applier
