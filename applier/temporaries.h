// The applier's temporary files: how they are named, and the record of
// those a run holds, which clean-up and an interrupt must not leave behind.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace applier {

// Temporary files named dir + "VDX" + number + ".tmp": the number counts up
// over the run and the first free name is taken. Files are created
// exclusively, so an existing file is never opened.
class TempNames {
 public:
  static constexpr int kAttempts = 1000;

  TempNames(platform::FileSystem& files, std::string dir) : files_(files), dir_(std::move(dir)), next_(own_) {}
  // Numbers counted on `next`, shared with other directories: names that
  // never come twice in one run.
  TempNames(platform::FileSystem& files, std::string dir, unsigned long& next)
      : files_(files), dir_(std::move(dir)), next_(next) {}
  TempNames(const TempNames&) = delete;  // next_ may refer to its own counter
  TempNames& operator=(const TempNames&) = delete;
  // Whether a file name (no directory) is one that this class makes.
  static bool isTemporaryName(const std::string& name);
  // False after kAttempts names could not be created.
  bool create(std::unique_ptr<platform::File>* file, std::string* path);
  // Moves the file `from` (same volume) to the first free name; `before`,
  // when given, is told each name just before the move to it is tried.
  bool adopt(const std::string& from, std::string* path,
             const std::function<void(const std::string&)>& before = nullptr);

 private:
  template <typename Take>
  bool firstFree(Take take, std::string* path);

  platform::FileSystem& files_;
  std::string dir_;
  unsigned long own_ = 0;
  unsigned long& next_;
};

// The temporaries of one run. Each is deleted by deleteAll (and by the
// destructor), and by an interrupt through deleteAfterInterrupt, until it is
// dropped or released.
class TempFiles {
 public:
  // Temporaries made without a directory go to the system's temporary
  // directory; `files` outlives this.
  explicit TempFiles(platform::FileSystem& files);
  ~TempFiles() { deleteAll(); }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;

  // A new empty file in `dir` (ending in a separator; empty: the temporary
  // directory), open for reading and writing. False when no name was free.
  bool create(const std::string& dir, std::unique_ptr<platform::File>* file, std::string* path);
  // Renames the temporary `path` into `dir` under a free name, held from
  // then on as `moved`. False when `path` is none of these temporaries or
  // `dir` lies on another volume; `path` then stays as it was.
  bool moveInto(const std::string& path, const std::string& dir, std::string* moved);
  bool holds(const std::string& path) const;
  // The temporaries held now in the system's temporary directory.
  std::vector<std::string> heldInTemporaryDirectory() const;
  // From now on `made` is told each temporary made in the system's
  // temporary directory (null: no one).
  void watchTemporaryDirectory(std::function<void(const std::string&)> made) { made_ = std::move(made); }
  // Names in `dir` (ending in a separator) that this run has not used
  // before in any directory but the temporary one: a name in the journal
  // of a run stands for one file only.
  TempNames namesIn(const std::string& dir) { return TempNames(files_, dir, nextName_); }
  void drop(const std::string& path);     // deletes it now
  void release(const std::string& path);  // it became a target file: it stays
  // Deletes every temporary still held (each must be closed by now).
  void deleteAll();

  // Deletes every temporary of the process still held (see
  // platform::recordTemporary); async-signal-safe, for an interrupt handler.
  static void deleteAfterInterrupt();

 private:
  void hold(const std::string& path);

  platform::FileSystem& files_;
  TempNames names_;  // in the temporary directory, counting on over the run
  unsigned long nextName_ = 0;  // of the names in other directories
  std::vector<std::string> held_;
  std::function<void(const std::string&)> made_;
};

}  // namespace applier
