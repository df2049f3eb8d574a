// What passes between the engine and a front end (console or window): the
// request a front end makes of one run, and the services the engine asks
// of the front end while it runs.
#pragma once

#include <cstddef>
#include <string>

namespace applier {

// One run as the user asked for it, fixed when the engine is built.
struct ApplyRequest {
  // The patch file, or a program file with a patch joined behind it.
  std::string patchName;
  // Where the target lies: old files are read below oldPath, new files are
  // written below newPath. "." is the current directory, which is also what
  // a path the user left out means. Equal paths patch in place, and a
  // series located by the given path then looks at what the path names: a
  // directory patch given a file takes the file's directory, a single-file
  // patch given no file searches. Different paths are taken as they are,
  // never searched.
  std::string oldPath = ".";
  std::string newPath = ".";
  bool testMode = false;       // only the check pass: nothing on disk changes
  bool searchAllowed = false;  // a target that does not fit may be searched for
  // A stub made for one kind of patch takes its own file as it finds it:
  // neither magic nor version is compared, and the kind is not read from
  // the header.
  enum class Kind { kFromHeader, kDirectory, kSingleFile };
  Kind kind = Kind::kFromHeader;
  bool compareMagic = true;
};

// A run checks every series first and applies them only when all fit.
enum class Pass { kCheck, kApply };

// What the engine needs from the front end.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual void show(const std::string& text) = 0;
  // A file of the target stops the series: `text` names it and says what
  // to do, and the run's error follows at once. Shown like any message; a
  // front end that shows the error apart from them (a window's box) keeps
  // it for that.
  virtual void refused(const std::string& text) { show(text); }
  // A yes/no question; true for yes.
  virtual bool ask(const std::string& message, const std::string& caption) = 0;
  // Lets a window breathe; called per record, per delta instruction and per directory searched.
  virtual void pump() = 0;
  // The user asked to stop (a window closed and the question confirmed).
  // It stops the search for the target, and in the apply pass the run,
  // which is then undone; a check pass already under way runs to its end.
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

}  // namespace applier
