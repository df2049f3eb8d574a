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
#include "applier/changes.h"
#include "applier/rebuilder.h"
#include "applier/journal.h"
#include "applier/location.h"
#include "applier/messages.h"
#include "applier/patch_body.h"
#include "applier/temporaries.h"
#include "patchformat/body_walk.h"
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
  const TargetPaths& target() const { return locator_.target(); }
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

  // The part that finds which version of a patched file is installed and
  // rebuilds the new one (tests reach its steps).
  ChainRebuilder& rebuilder() { return rebuilder_; }

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
  // Closes every file, undoes the apply pass's changes, deletes the
  // temporaries and lets go of the targets.
  void undoRun();
  void closeFiles();

  // --- reading the body ---
  [[noreturn]] void bodyFailed();
  void requireSafe(const std::string& name, bool mayBeEmpty);

  // --- the record walk ---
  // locate_and_process, whose parts' failures it turns into the run's end.
  void walkSeries(Pass pass);
  // The locator's silent check of a candidate target.
  bool probe(const TargetPaths& candidate);
  // Each takes its record from `records`, which stands on it.
  bool patchedFile(patchformat::BodyWalker& records, Walk walk);
  void embeddedFile(patchformat::BodyWalker& records, Walk walk);
  void obsoleteFile(const patchformat::BodyWalker& records, Walk walk);
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
  // Writes the body's `size` bytes at `content` as the new file `target`.
  void write_embedded(const std::string& target, const std::string& name, std::uint64_t content, std::uint32_t size,
                      std::uint32_t dosDateTime);
  // Makes `target` the current target of the walk and of the changes.
  void setTarget(const TargetPaths& target);
  // A run killed on `target` left its journal: put right before this run
  // goes on (told to the user), or only told in test mode.
  void settleEarlierRun(const TargetPaths& target);
  // The front end's pump; in the apply pass, an interrupt ends the run here.
  void pump();

  const ApplyRequest request_;
  FrontEnd& frontEnd_;
  const Numbering numbering_;
  platform::FileSystem& files_;
  platform::OtherPrograms& programs_;
  TempFiles temps_;  // before the files below, which must close before it deletes
  // Owns the target: of the current series, or the candidate being probed.
  TargetLocator locator_;
  std::unique_ptr<platform::File> patch_;
  std::unique_ptr<platform::File> tempFile_;  // the expanded body, one of temps_
  std::unique_ptr<ExpandedBody> body_;
  patchformat::PatchHeader header_;
  std::string creator_;
  std::string creatorRaw_;
  std::string comment_;
  bool directoryPatch_ = false;
  std::uint64_t firstSeries_ = 0;
  patchformat::PatchLocation where_;
  // The series being walked: its header, its index, where its records
  // begin, and where the last walk of it ended.
  patchformat::SeriesHeader series_;
  std::size_t seriesIndex_ = 0;
  std::uint64_t seriesPosition_ = 0;
  std::uint64_t seriesEnd_ = 0;
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

  // What the apply pass changed so far, in order, so that a failure part-way
  // (or the next run, after a kill) can leave the target as it was.
  TargetChanges changes_;
  ChainRebuilder rebuilder_;
  bool applying_ = false;  // in the apply pass
  std::set<std::string> settled_;  // targets whose earlier run was looked for
  std::set<std::string> creatableDirs_;  // checked by checkCreatable in this check pass
  std::uint64_t newBytes_ = 0;  // of the new files the series' check walk has met
};

}  // namespace applier
