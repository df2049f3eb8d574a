// The applier engine that every applier carries: it loads a patch, finds
// and checks every target series against the installed software and then
// applies it.
//
// A run: init_temp_dir, load_patch, locate_and_process(kCheck), and unless
// in test mode locate_and_process(kApply), then cleanup. The check pass
// decodes every delta once and verifies it, and also finds what could stop
// the apply pass half-way (a file in use, a hostile name), so that a run
// which fails changes nothing. The apply pass writes each new file
// completely beside its target before it takes the target's place.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "applier/messages.h"
#include "applier/patch_body.h"
#include "patchformat/container.h"
#include "platform/machine.h"

namespace applier {

// What the engine needs from the front end (console or window).
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual void show(const std::string& text) = 0;
  // A yes/no question; true for yes.
  virtual bool ask(const std::string& message, const std::string& caption) = 0;
  // Lets a window breathe; called per record, per delta instruction and per directory searched.
  virtual void pump() = 0;
  virtual bool abortRequested() = 0;
  // The search enters (`entering`) or leaves directory `dir`, whose first
  // `parentLength` characters were shown for its parent already.
  virtual void searching(const std::string& dir, std::size_t parentLength, bool entering) {
    (void)dir, (void)parentLength, (void)entering;
  }
  // The target of the current series, once located.
  virtual void located(const std::string& path) { (void)path; }
  // Whether the user may be offered a scan of all local disks.
  virtual bool mayScanDisks() { return false; }
};

// A fatal error of the run, after clean-up: the front end shows the text
// (the console applier then ends with exit code 1).
class ApplierError : public std::exception {
 public:
  ApplierError(int consoleNumber, std::string text) : number_(consoleNumber), text_(std::move(text)) {}
  int number() const { return number_; }
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  int number_;
  std::string text_;
};

// One source of a patched file as the record walk found it.
struct SourceEntry {
  std::string name;
  patchformat::SourceRecord record;
  patchformat::ExclusionWindow window;
  std::uint64_t streamOffset = 0;  // in the expanded body
};

enum class Pass { kCheck, kApply };

// Whether a name from a patch stays inside the directory it is joined to:
// not absolute, no drive, no leading separator, no ".." component, no ':'.
bool safeRelativeName(const std::string& name);

// The directory part of `path` with its separator; ".\" for a bare name.
std::string directoryPart(const std::string& path);

class PatchEngine {
 public:
  // `machine` outlives the engine.
  PatchEngine(FrontEnd& frontEnd, Numbering numbering, platform::Machine& machine)
      : frontEnd_(frontEnd), numbering_(numbering), files_(machine.files), machine_(machine) {}
  ~PatchEngine() { cleanup(); }
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;

  void init_temp_dir();
  // Opens, checks and starts expanding the patch; reads its texts.
  void load_patch(const std::string& patchName);
  // Locates every series and checks (kCheck) or applies (kApply) it.
  void locate_and_process(Pass pass);
  // Closes the patch file; the temporaries stay until cleanup.
  void closePatch();
  // Closes every file and deletes the temporaries.
  void cleanup();

  // The text of a message (console number) in this engine's numbering, formatted.
  std::string message(int consoleNumber) const;
  void show(int consoleNumber) { frontEnd_.show(message(consoleNumber)); }
  [[noreturn]] void fail(int consoleNumber);

  // Walks the records of the current series. True when every record was
  // handled; false when a required file has no matching source or (silent)
  // a result failed its checksum.
  bool process_series(bool checkOnly, bool silent);

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

  // Where the series' target lies for a located path `p`: p, or for a
  // directory patch the directory of a file. A single-file patch whose p is
  // no file switches searching on.
  std::string directoryOf(const std::string& p);
  // Searches `dir` (ending in a separator) for a target that passes a
  // silent check and that the user confirms: the directory and its entries,
  // at depth 1 and more also every directory below.
  bool search(const std::string& dir, int depth, std::size_t parentLength = 0);

  // The texts with every byte 0 shown as byte 1; the raw creator text too.
  const std::string& creatorText() const { return creator_; }
  const std::string& rawCreatorText() const { return creatorRaw_; }
  const std::string& comment() const { return comment_; }
  const patchformat::PatchHeader& header() const { return header_; }
  bool directoryPatch() const { return directoryPatch_; }
  std::uint64_t firstSeriesPosition() const { return firstSeries_; }
  ExpandedBody* body() { return body_.get(); }

  MessageValues values;  // patch name, OldPath, RelName as the messages show them
  std::string newPath;
  std::string pathArgument = ".";
  std::string secondPathArgument = ".";
  bool testMode = false;
  bool searchAllowed = false;
  std::string tempDir;

 private:
  struct PathPair {
    std::string oldPath, newPath;
  };

  // --- reading the body ---
  patchformat::BodyReader& reader() { return *reader_; }
  void seekBody(std::uint64_t position);
  void skipBody(std::uint64_t n);
  [[noreturn]] void bodyFailed();
  void requireSafe(const std::string& name, bool mayBeEmpty);

  // --- the record walk ---
  bool patchedFile(bool checkOnly, bool silent);
  void embeddedFile(bool checkOnly, bool silent);
  void obsoleteFile(bool checkOnly, bool silent);
  std::string rebuild(const std::vector<SourceEntry>& sources, const patchformat::FinalInfo& info,
                      const patchformat::ExclusionWindow& finalWindow, const std::string& target, bool checkOnly,
                      std::uint32_t* checksum);
  bool matchesFinal(const std::string& path, const patchformat::FinalInfo& info,
                    const patchformat::ExclusionWindow& window);
  // In a real check pass: a file that the apply pass will replace or move
  // must not be in use. Silent probes only remember the first such file.
  void checkReplaceable(const std::string& path, int consoleNumber, bool silent);
  bool probe();
  bool confirm();
  bool scanDisks();

  // --- changing the target (apply pass only) ---
  void replace_file(const std::string& result, bool resultIsStaged, bool finalInPlace, const std::string& target,
                    std::uint32_t dosDateTime);
  void backup_file(const std::string& file);
  void write_embedded(const std::string& target, std::uint32_t size, std::uint32_t dosDateTime);
  void make_dirs(const std::string& path);
  std::string backupLocation() const;

  // --- temporaries ---
  // A new temporary file in `dir` (empty: the temporary directory),
  // deleted again by cleanup and on an interrupt unless released.
  bool createTemp(const std::string& dir, std::unique_ptr<platform::File>* file, std::string* path);
  void dropTemp(const std::string& path);     // deletes it now
  void releaseTemp(const std::string& path);  // it became a target file
  bool isTemp(const std::string& path) const;
  void trackTemp(const std::string& path);  // deleted by cleanup and on an interrupt

  void delete_file(const std::string& path);
  void stamp(const std::string& path, std::uint32_t dosDateTime);

  FrontEnd& frontEnd_;
  Numbering numbering_;
  platform::FileSystem& files_;
  platform::Machine& machine_;
  std::unique_ptr<platform::File> patch_;
  std::unique_ptr<platform::File> tempFile_;  // the expanded body
  std::string tempPath_;
  std::vector<std::string> outputs_;  // temporary results not yet handed on
  std::unique_ptr<TempNames> names_;
  std::unique_ptr<ExpandedBody> body_;
  std::optional<patchformat::BodyReader> reader_;
  patchformat::PatchHeader header_;
  std::string creator_;
  std::string creatorRaw_;
  std::string comment_;
  bool directoryPatch_ = false;
  std::uint64_t firstSeries_ = 0;
  std::uint64_t seriesPosition_ = 0;
  std::string backupDirName_;
  PathPair saved_[patchformat::kMaxSeries];
  int pendingLock_ = -1;  // message of a file in use found by a silent probe
  // Verified final files that the check pass of a real run keeps in the
  // temporary directory for the apply pass, by the body offset of their
  // record: a second decode of the same delta is saved.
  std::map<std::uint64_t, std::string> kept_;
  std::uint64_t keptBytes_ = 0;
};

}  // namespace applier
