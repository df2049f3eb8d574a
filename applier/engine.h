// The applier engine that every applier carries: it loads a patch, finds
// and checks every target series against the installed software and then
// applies it.
//
// A run: an engine built for one request, load_patch,
// locate_and_process(kCheck), and unless in test mode
// locate_and_process(kApply), then cleanup. The check pass
// decodes every delta once and verifies it, and also finds what could stop
// the apply pass half-way (a file in use, a hostile name), so that a run
// which fails changes nothing. The apply pass writes each new file
// completely beside its target before it takes the target's place.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "applier/front_end.h"
#include "applier/journal.h"
#include "applier/location.h"
#include "applier/messages.h"
#include "applier/patch_body.h"
#include "applier/temporaries.h"
#include "patchformat/container.h"
#include "platform/machine.h"

namespace applier {

struct PatchContents;

// A fatal error of the run, after clean-up: the front end shows the text
// (the console applier then ends with exit code 1). `cause` tells why the
// file operation failed that the message reports, where one did.
class ApplierError : public std::exception {
 public:
  ApplierError(int consoleNumber, std::string text, platform::Failure cause = platform::Failure::kOther)
      : number_(consoleNumber), text_(std::move(text)), cause_(cause) {}
  int number() const { return number_; }
  const std::string& text() const { return text_; }
  platform::Failure cause() const { return cause_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  int number_;
  std::string text_;
  platform::Failure cause_;
};

// The number of the error that ends a run whose question the user
// cancelled (it has no message of its own).
constexpr int kErrorCancelled = -1;

// One source of a patched file as the record walk found it.
struct SourceEntry {
  std::string name;
  patchformat::SourceRecord record;
  patchformat::ExclusionWindow window;
  std::uint64_t streamOffset = 0;  // in the expanded body
};

// The three walks over the records of a series.
enum class Walk {
  kProbe,  // a candidate target, checked quietly (only obsolete files are mentioned);
           // the first file in use is remembered, not reported
  kCheck,  // the check pass: every record checked and reported, nothing changed
  kApply,  // the apply pass: the target changes
};

// Whether a name from a patch stays inside the directory it is joined to:
// not absolute, no drive, no leading separator, no ".." component, no ':'.
bool safeRelativeName(const std::string& name);

// Whether the file `path` ends with a patch trailer (a signed program: just
// before its certificate table): a program file with a patch joined behind
// it. A program followed by only the start of a patch carries one too, cut
// short, which loading it then reports.
bool carriesPatch(const std::string& path, platform::FileSystem& files);

// The directory part of `path` with its separator; ".\" for a bare name.
std::string directoryPart(const std::string& path);

// The message that ends a run which an exception other than ApplierError
// stopped (an allocation that failed, say), in `numbering`: message 48,
// naming what happened.
std::string unexpectedErrorText(Numbering numbering, std::exception_ptr error);

class PatchEngine {
 public:
  // `frontEnd` and `machine` outlive the engine; messages are worded in
  // `numbering`.
  PatchEngine(FrontEnd& frontEnd, Numbering numbering, platform::Machine& machine, ApplyRequest request);
  // Cleans up; an apply pass that did not finish is undone.
  ~PatchEngine();
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;

  const ApplyRequest& request() const { return request_; }
  // Opens, checks and starts expanding the request's patch; reads its texts.
  void load_patch();
  // Locates every series and checks (kCheck) or applies (kApply) it.
  void locate_and_process(Pass pass);
  // Closes the patch file; the temporaries stay until cleanup.
  void closePatch();
  // Closes every file and deletes the temporaries.
  void cleanup();
  // Runs `steps` (a front end's calls of the engine and its own work
  // between them). An exception of another kind than ApplierError that
  // ends them ends the run as the engine's own errors do: every file
  // closed, the temporaries deleted, the apply pass's changes undone, and
  // an ApplierError of message 48 thrown in its place.
  template <typename Steps>
  void guarded(Steps&& steps) {
    try {
      steps();
    } catch (const ApplierError&) {
      throw;
    } catch (...) {
      stop(kMsgUnexpected, unexpectedErrorText(numbering_, std::current_exception()));
    }
  }
  // Where the series located last lies.
  const TargetPaths& target() const { return target_; }
  // After load_patch: every series and record read and checked, the whole
  // body expanded once, no target looked for (pelmora -i).
  PatchContents readContents();

  // The text of a message (console number) in this engine's numbering,
  // formatted: %p the request's patch, %s `argument`.
  std::string message(int consoleNumber, const std::string& argument = "") const;
  void show(int consoleNumber, const std::string& argument = "") { frontEnd_.show(message(consoleNumber, argument)); }
  [[noreturn]] void fail(int consoleNumber, const std::string& argument = "");

  // The texts with every byte 0 shown as byte 1; the raw creator text too.
  const std::string& creatorText() const { return creator_; }
  const std::string& rawCreatorText() const { return creatorRaw_; }
  const std::string& comment() const { return comment_; }
  const patchformat::PatchHeader& header() const { return header_; }
  bool directoryPatch() const { return directoryPatch_; }
  std::uint64_t firstSeriesPosition() const { return firstSeries_; }
  ExpandedBody* body() { return body_.get(); }

  // --- steps of a run, reached by tests ---

  // Walks the records of the current series at target(). True when every
  // record was handled; false when a required file has no matching source
  // or (kProbe) a result failed its checksum. A false of the apply walk
  // leaves the body in the middle of the series' records.
  [[nodiscard]] bool process_series(Walk walk);
  // Verified results that the check pass keeps for the apply pass take at
  // most this many bytes of the temporary directory (default 1 GiB);
  // beyond it the apply pass decodes their deltas again.
  void setKeepBudget(std::uint64_t bytes) { keepBudget_ = bytes; }

  // Where apply_delta writes, and what it reports of its output.
  struct DeltaOutput {
    std::string dir;  // empty: the temporary directory
    // When set, `checksum` is the output's checksum with this window,
    // taken while it is written.
    const patchformat::ExclusionWindow* window = nullptr;
    std::string path;  // the temporary file written
    std::uint32_t checksum = 0;
  };
  // Rebuilds the next state from `sourcePath` into a new temporary file.
  // With verifySource, a source of another size or checksum returns false;
  // a missing source returns false, or with sourceMustExist ends the run
  // (message 5).
  bool apply_delta(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize,
                   bool verifySource, bool sourceMustExist, DeltaOutput* output);

 private:
  // --- messages ---
  // A message's text with its %s and its %m (`name`: the file a record names).
  std::string text(int consoleNumber, const std::string& argument, const std::string& name) const;
  void showFile(int consoleNumber, const std::string& name) { frontEnd_.show(text(consoleNumber, "", name)); }
  [[noreturn]] void failFile(int consoleNumber, const std::string& name);
  // Cleans up, then throws. Without a cause, the messages of file
  // operations take the cause of the last failure.
  [[noreturn]] void stop(int consoleNumber, const std::string& text);
  [[noreturn]] void stop(int consoleNumber, const std::string& text, platform::Failure cause);

  // --- reading the body ---
  patchformat::BodyReader& reader() { return *reader_; }
  void seekBody(std::uint64_t position);
  void skipBody(std::uint64_t n);
  [[noreturn]] void bodyFailed();
  // Whether the volume of `dir` has room for `bytes` more (small amounts
  // always do); requireRoom ends the run with message 45 when it has not.
  static constexpr std::uint64_t kRoomReserve = 1 << 20;
  bool hasRoom(const std::string& dir, std::uint64_t bytes);
  void requireRoom(const std::string& dir, std::uint64_t bytes);
  void requireSafe(const std::string& name, bool mayBeEmpty);

  // --- the record walk ---
  // The locator's silent check of a candidate target.
  bool probe(const TargetPaths& candidate);
  bool patchedFile(Walk walk);
  void embeddedFile(Walk walk);
  void obsoleteFile(Walk walk);
  std::string rebuild(const std::vector<SourceEntry>& sources, const patchformat::FinalInfo& info,
                      const patchformat::ExclusionWindow& finalWindow, const std::string& target, Walk walk,
                      std::uint32_t* checksum);
  bool matchesFinal(const std::string& path, const patchformat::FinalInfo& info,
                    const patchformat::ExclusionWindow& window);
  // In a real check pass: a file that the apply pass will replace or move
  // (`shown` in messages) must not be in use, and the user must have the
  // right to move it. Probes only remember the first such file.
  void checkReplaceable(const std::string& path, int consoleNumber, const std::string& shown, Walk walk);
  // In a real check pass: the apply pass will be able to make a file at
  // `path` (the record's `name`). A probe file is made and removed in the
  // nearest directory of `path` that exists, once per directory and pass.
  // A probe only notes the place, for the candidate that is accepted.
  void checkCreatable(const std::string& path, int consoleNumber, const std::string& name, Walk walk);
  // Ends the run for the file `path` (`shown` in messages) that could not
  // be moved or made for `cause`: a file in use names the programs that
  // hold it, a missing right says so, anything else is message
  // `consoleNumber`.
  [[noreturn]] void failObstacle(int consoleNumber, platform::Failure cause, const std::string& path,
                                 const std::string& shown);
  // Claims the target directory of `target` for this run (not in test
  // mode), once per directory; another run's claim ends this one.
  void claimTarget(const TargetPaths& target);
  // Lets go of the claim on `target`'s directory (a candidate declined).
  void releaseTarget(const TargetPaths& target);
  std::string claimKey(const TargetPaths& target) const;

  // --- changing the target (apply pass only); `name` is the record's file ---
  // `size` is the final size that `result` must have.
  void replace_file(const std::string& result, bool resultIsStaged, bool finalInPlace, const std::string& target,
                    const std::string& name, std::uint32_t size, std::uint32_t dosDateTime);
  // Moves `file` into the backup directory as `name`.
  void backup_file(const std::string& file, const std::string& name);
  // Writes the body's `size` bytes at `content` as the new file `target`.
  void write_embedded(const std::string& target, const std::string& name, std::uint64_t content, std::uint32_t size,
                      std::uint32_t dosDateTime);
  // The complete new file `staged` beside `target` gets its date and the
  // target's access rights, the target goes to the backup (`backup`), and
  // the new file takes its place.
  void putInPlace(const std::string& staged, const std::string& target, const std::string& name,
                  std::uint32_t dosDateTime, bool backup);
  void make_dirs(const std::string& path);
  // Removes the directories of `file` that are empty now (an obsolete file
  // moved to the backup), up to the target's own directory.
  void removeEmptiedDirectories(const std::string& file);
  // A free temporary name beside `file`, which is renamed to it. The file
  // is not one of temps_: an interrupt must never delete an earlier version.
  std::string moveAside(const std::string& file);
  // Puts every file that the apply pass changed back as it was, newest
  // change first, and removes the directories it made.
  void undoChanges();
  // Starts the journal of the apply pass on target_.
  void startJournal();
  // Where the journal of `target` lies (ending in a separator).
  std::string journalDirectory(const TargetPaths& target) const;
  // The apply pass is complete: earlier versions moved aside are deleted,
  // and so are the temporaries of an earlier run that stopped abruptly.
  void commitChanges();
  // A run killed on `target` left its journal: put right before this run
  // goes on (told to the user), or only told in test mode.
  void settleEarlierRun(const TargetPaths& target);
  // The front end's pump; in the apply pass, an interrupt ends the run here.
  void pump();
  // Remembers where a run of this patch makes temporaries for the record
  // `name`: beside its target and its backup, and (probe files) in any
  // directory from the target's root down to those.
  void noteTemporaryPlaces(const std::string& name);
  void sweepTemporaries();
  std::string backupLocation(const std::string& name) const;
  void delete_file(const std::string& path);
  void stamp(const std::string& path, std::uint32_t dosDateTime);

  const ApplyRequest request_;
  FrontEnd& frontEnd_;
  const Numbering numbering_;
  platform::FileSystem& files_;
  platform::OtherPrograms& programs_;
  TempFiles temps_;  // before the files below, which must close before it deletes
  TargetLocator locator_;
  TargetPaths target_;  // of the current series, or of the candidate being probed
  std::unique_ptr<platform::File> patch_;
  std::unique_ptr<platform::File> tempFile_;  // the expanded body, one of temps_
  std::unique_ptr<ExpandedBody> body_;
  std::optional<patchformat::BodyReader> reader_;
  patchformat::PatchHeader header_;
  std::string creator_;
  std::string creatorRaw_;
  std::string comment_;
  bool directoryPatch_ = false;
  std::uint64_t firstSeries_ = 0;
  patchformat::PatchLocation where_;
  std::uint64_t seriesPosition_ = 0;
  std::string backupDirName_;
  // The first file that the last probe found could not be moved.
  struct Obstacle {
    int consoleNumber = -1;  // -1: none
    platform::Failure cause = platform::Failure::kOther;
    std::string path, shown;
  };
  Obstacle pendingObstacle_;
  // The places where the apply pass will make files, as the last probe
  // found them: checked once its candidate is accepted.
  struct Place {
    std::string path;
    int consoleNumber;
    std::string name;
  };
  std::vector<Place> probedPlaces_;
  // A search starts where the series' rule put the target. When that
  // starting point is refused for a file that matches no version (it is
  // the software, changed), that file's message: the run ends with it
  // should nothing else fit. A candidate the user declines clears it.
  std::string startRefusal_;
  int probes_ = 0;              // of the current series' search
  std::size_t knownFiles_ = 0;  // patched files found in a version the patch knows, by the current walk
  // The targets this run works on, by directory, held until the engine is
  // done with the run (after an undo too).
  std::map<std::string, std::unique_ptr<platform::TargetClaim>> claims_;
  // This run's registration as a user of the temporary directory.
  std::unique_ptr<platform::TargetClaim> tempUse_;
  // Verified final files that the check pass of a real run keeps in the
  // temporary directory for the apply pass, by the body offset of their
  // record: a second decode of the same delta is saved.
  std::map<std::uint64_t, std::string> kept_;
  std::uint64_t keptBytes_ = 0;
  std::uint64_t keepBudget_ = std::uint64_t{1} << 30;

  // What the apply pass changed so far, in order, so that a failure part-way
  // (or the next run, after a kill) can leave the target as it was.
  RunJournal journal_;
  bool applying_ = false;  // in the apply pass
  std::set<std::string> settled_;  // targets whose earlier run was looked for
  std::set<std::string> creatableDirs_;  // checked by checkCreatable in this check pass
  std::set<std::string> temporaryPlaces_;  // directories, each ending in a separator
  std::uint64_t newBytes_ = 0;  // of the new files the series' check walk has met
};

}  // namespace applier
