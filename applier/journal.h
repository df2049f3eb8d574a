// The journal of an apply pass: every change it makes to a target, noted
// before it is made, kept in memory and in a file in the target's
// directory. A failing or interrupted run puts the target back from it; a
// run that was killed leaves the file behind, and the next run on the
// target finds it and puts the target back, or finishes the tidy-up, from
// the file alone.
//
// Undoing a step looks at the disk before it acts, so a step that was
// noted but never made (the process ended in between) is passed over, and
// the same replay serves a run that undoes itself and a later run that
// undoes a killed one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "applier/temporaries.h"
#include "platform/files.h"

namespace applier {

class RunJournal {
 public:
  // The journal file's name in the target's directory. Not a temporary's
  // name: the sweeps of temporaries pass it over.
  static constexpr const char* kFileName = "VDXjournal.tmp";
  static constexpr const char* kNewFileName = "VDXjournal.new";  // while it is made

  enum class Kind : char {
    kMadeDirectory = 'D',     // a: the directory made
    kRemovedDirectory = 'R',  // a: an emptied directory removed
    kMove = 'M',              // a -> b: an earlier version into the backup
    kAside = 'A',             // a -> b: a file moved aside under a temporary name, deleted once complete
    kPlace = 'P',             // a -> b: a new file renamed into place at b
    kTemporaries = 'T',       // a: a directory where the run makes temporaries
    kTemporary = 'F',         // a: a temporary of the run elsewhere (the temporary directory)
    kComplete = 'C',          // the run is complete: nothing is undone from here on
  };
  struct Step {
    Kind kind;
    std::string a, b;
  };
  // What a later run found of a killed one.
  enum class Found { kNothing, kUndone, kCompleted, kStuck };

  explicit RunJournal(platform::FileSystem& files) : files_(files) {}
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Starts the journal file in `dir` (ending in a separator) with the
  // steps `first`, noted too; the steps noted from now on go there as
  // well. The file appears whole with its first steps (written under
  // another name, then renamed), so a journal found later always names
  // them. False when it cannot be made.
  bool start(const std::string& dir, const std::vector<Step>& first = {});
  // Notes a step (before it is made).
  void note(Kind kind, const std::string& a, const std::string& b = "");
  bool empty() const { return steps_.empty(); }
  // Puts back every step, newest first, and forgets them. False when a
  // step could not be put back (the journal file then stays).
  bool undo();
  // Removes the directories the run made that undo() found holding files
  // (the run's temporaries, deleted since), newest first.
  void removeLeftDirectories();
  // The run is complete: notes it, deletes the files moved aside, and
  // removes the journal files.
  void complete();
  // The directories where the run made temporaries.
  std::vector<std::string> temporaryPlaces() const;

  // Looks for the journal of a run that ended without clean-up in `dir`
  // and settles it: undone when it was not complete, its tidy-up finished
  // when it was; then its temporaries are removed (those in the places it
  // names, and the files it names in the temporary directory, which no
  // other run can hold: they were that run's, and stood there all along),
  // and so is the file.
  static Found settleEarlierRun(platform::FileSystem& files, const std::string& dir);

  // The file's form of a step, and back (false for a step cut short).
  static std::string encode(const Step& step);
  static bool decode(const std::string& text, std::size_t* at, Step* step);

 private:
  struct Place {
    std::string dir;
    std::unique_ptr<platform::File> file;
  };
  void finish();
  bool undoStep(const Step& step);

  platform::FileSystem& files_;
  std::vector<Step> steps_;
  std::vector<Place> places_;  // the journal files, one per target directory
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t current_ = kNone;  // of places_, where steps are noted
  std::vector<std::string> leftDirectories_;
};

// Deletes every file in `dir` (ending in a separator) with a name that
// TempNames makes, except those for which `keep` says true.
template <typename Keep>
void deleteTemporariesIn(platform::FileSystem& files, const std::string& dir, Keep keep) {
  std::vector<std::string> names;
  if (!files.listDirectory(dir, &names)) return;
  for (const std::string& name : names) {
    if (!TempNames::isTemporaryName(name) || keep(dir + name)) continue;
    files.setAttributes(dir + name, 0);
    files.deleteFile(dir + name);
  }
}

}  // namespace applier
