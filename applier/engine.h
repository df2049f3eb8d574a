// The applier engine that every applier carries: it loads a patch, checks
// every series against the installed software and then applies it.
// This part: the engine's state, loading (open, check, expand lazily, read
// the texts), the numbered messages and the error model.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "applier/messages.h"
#include "applier/patch_body.h"
#include "patchformat/container.h"
#include "platform/files.h"

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

class PatchEngine {
 public:
  PatchEngine(FrontEnd& frontEnd, Numbering numbering) : frontEnd_(frontEnd), numbering_(numbering) {}
  ~PatchEngine() { cleanup(); }
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;

  void init_temp_dir();
  // Opens, checks and starts expanding the patch; reads its texts.
  void load_patch(const std::string& patchName);
  // Closes every file and deletes the temporaries.
  void cleanup();

  // The text of a message (console number) in this engine's numbering, formatted.
  std::string message(int consoleNumber) const;
  void show(int consoleNumber) { frontEnd_.show(message(consoleNumber)); }
  [[noreturn]] void fail(int consoleNumber);

  // Rebuilds the next state from `sourcePath` into a new temporary file
  // (`*output`). With verifySource, a source of another size or checksum
  // returns false; a missing source returns false, or with sourceMustExist
  // ends the run (message 5).
  bool apply_delta(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize,
                   bool verifySource, bool sourceMustExist, std::string* output);

  const std::string& creatorText() const { return creator_; }
  const std::string& comment() const { return comment_; }
  const patchformat::PatchHeader& header() const { return header_; }
  bool directoryPatch() const { return directoryPatch_; }
  std::uint64_t firstSeriesPosition() const { return firstSeries_; }
  ExpandedBody* body() { return body_.get(); }

  MessageValues values;  // patch name, OldPath, RelName as the messages show them
  std::string newPath;
  bool testMode = false;
  bool searchAllowed = true;
  std::string tempDir;

 private:
  FrontEnd& frontEnd_;
  Numbering numbering_;
  platform::File patch_;
  platform::File tempFile_;
  std::string tempPath_;
  std::vector<std::string> outputs_;  // temporary results not yet handed on
  std::unique_ptr<TempNames> names_;
  std::unique_ptr<ExpandedBody> body_;
  patchformat::PatchHeader header_;
  std::string creator_;
  std::string comment_;
  bool directoryPatch_ = false;
  std::uint64_t firstSeries_ = 0;
};

}  // namespace applier
