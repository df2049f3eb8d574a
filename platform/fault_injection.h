// A file system that passes every call to another one and fails the calls a
// test chooses: the nth call of a kind, or every write once a number of
// bytes has been written (a full disk). It can also damage data without
// saying so (a write that stores one byte changed, a file that reads
// differently from some read on) and make a call throw, as an allocation
// that fails deep inside a program does. Tests use it to see what the
// programs do when the disk says no, or lies.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/lock.h"

namespace platform {

// The kinds of calls that can be made to fail.
enum class FileOp {
  kOpenRead,       // open for reading
  kCreate,         // open in any writing mode
  kRead,
  kWrite,
  kSeek,
  kClose,
  kDelete,
  kRename,         // moveFile and moveFileNew
  kMakeDirectory,
  kSetAttributes,
  kSetTime,
  kStatus,         // fileExists, fileStatus, isDirectory
  kLockTest,       // canReplace: a failure reads as a file in use unless failWith says otherwise
  kList,
  kCreateTemp,
  kFlush,          // flushToDisk
};
constexpr std::size_t kFileOpCount = 16;

class FaultInjectingFileSystem final : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem& inner) : inner_(inner) {}

  // Counting from now, call `nth` (1: the next one) of kind `op` fails, and
  // so do the `more` calls of that kind after it (-1: every one after it).
  // Every failure notes a cause (lastFailure): kInUse for lock tests,
  // kDiskFull for writes beyond diskFullAfter, kOther for the rest.
  void failAt(FileOp op, int nth, int more = 0) { failWith(op, nth, defaultCause(op), more); }
  // The same, the failures noting `cause`.
  void failWith(FileOp op, int nth, Failure cause, int more = 0);
  // Counting from now, call `nth` of any kind fails (once).
  void failAnyAt(int nth) {
    anyFailsAt_ = allCalls_ + nth;
    anyFailed_.reset();
  }
  // Counting from now, call `nth` of any kind and every call after it
  // do nothing and fail, as if the machine had stopped there: whatever the
  // program does afterwards, its clean-up included, never reaches the disk.
  // Crash tests look at what such a run leaves.
  void endAt(int nth) { endsAt_ = allCalls_ + nth; }
  // Whether a run reached the call that endAt named.
  bool ended() const { return endsAt_ != 0 && allCalls_ >= endsAt_; }
  // Calls of every kind seen so far.
  int allCalls() const { return allCalls_; }
  // The kind of the call that failAnyAt made fail, once it has.
  std::optional<FileOp> anyFailed() const { return anyFailed_; }
  // Writes fail once `bytes` more bytes have been written; the write that
  // crosses the limit writes the part that fits, as a full disk does.
  void diskFullAfter(std::uint64_t bytes);
  // Opens of `path` fail once `after` more have succeeded, whichever thread
  // asks and when.
  void failOpening(const std::string& path, int after = 0) { unopenable_.push_back({path, after}); }

  // Counting from now, write call `nth` (1: the next one, of any file,
  // counted as failAt(FileOp::kWrite) counts) stores its data with one byte
  // changed: the byte at `offset` in that call's data, or the call's last
  // byte when it writes fewer, has all its bits flipped (xor 0xFF). The call
  // reports success, as a disk that damages data silently does. A write of
  // no bytes counts and changes nothing; on a full disk only the part that
  // fits is written, its last byte flipped when `offset` lies beyond it.
  void corruptWriteAt(int nth, std::size_t offset = 0);
  // Counting from now, once `nth` more reads of the file `path` (the name
  // as given to open) have been made, 0 for at once, the file reads as
  // changed, as if another program had written it in between: every later
  // read of it, through handles open now or opened later, gets the byte at
  // `offset` with all its bits flipped. The file on disk, its size and
  // reads of other files stay as they are.
  void changeAfterReads(const std::string& path, int nth, std::uint64_t offset = 0);
  // Runs `action` after every call of kind `op` that succeeded, before the
  // caller sees its result, with the file's name: kOpenRead and kCreate the
  // name opened, kRename the new name (other kinds are not watched). Tests
  // of what an interrupt between two steps of the caller does use it.
  void after(FileOp op, std::function<void(const std::string& path)> action) {
    afterwards_.emplace_back(op, std::move(action));
  }
  // Counting from now, call `nth` of kind `op` throws std::bad_alloc
  // instead of doing anything, once.
  void throwAt(FileOp op, int nth) { throwsAt_.push_back({op, counts_[index(op)] + nth}); }
  // Counting from now, call `nth` of any kind throws std::bad_alloc, once.
  void throwAnyAt(int nth) { anyThrowsAt_ = allCalls_ + nth; }
  // Calls of kind `op` seen so far (failed ones included).
  int calls(FileOp op) const { return counts_[index(op)]; }
  // Every fault removed, every count back to zero.
  void reset();

  std::unique_ptr<File> open(const std::string& path, File::Mode mode) override;
  bool deleteFile(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  bool fileStatus(const std::string& path, FileStatus* status) override;
  bool isDirectory(const std::string& path) override;
  bool setAttributes(const std::string& path, std::uint32_t attributes) override;
  bool setLastWriteTime(const std::string& path, std::uint32_t dosDateTime) override;
  bool moveFile(const std::string& from, const std::string& to) override;
  bool moveFileNew(const std::string& from, const std::string& to) override;
  void keepAccessRights(const std::string& from, const std::string& to) override;
  bool makeDirectory(const std::string& path) override;
  bool removeDirectory(const std::string& path) override;
  bool canReplace(const std::string& path) override;
  bool listDirectory(const std::string& path, std::vector<std::string>* names,
                     std::vector<std::string>* written = nullptr) override;
  bool freeSpace(const std::string& path, std::uint64_t* bytes) override;
  std::uint32_t dosDateTimeNow() override { return inner_.dosDateTimeNow(); }
  std::string tempDirectory() override { return inner_.tempDirectory(); }
  bool createTempFile(const std::string& prefix, std::string* path) override;
  std::string programPath() override { return programPath_.empty() ? inner_.programPath() : programPath_; }
  // Makes the running program's file appear to be `path`, for tests of
  // what a program finds beside itself.
  void placeProgramAt(const std::string& path) { programPath_ = path; }

 private:
  class FaultyFile;
  struct Fault {
    FileOp op;
    int from;  // the first failing call's number
    int to;    // the last one; -1 for no end
    Failure cause;
  };
  struct Corruption {
    int call;  // the write call's number
    std::size_t offset;
  };
  struct Change {
    std::string path;
    int readsLeft;  // before the file reads as changed
    std::uint64_t offset;
  };
  struct Throw {
    FileOp op;
    int call;
  };
  static std::size_t index(FileOp op) { return static_cast<std::size_t>(op); }
  static Failure defaultCause(FileOp op) { return op == FileOp::kLockTest ? Failure::kInUse : Failure::kOther; }
  // Counts a call of kind `op`; true when it is to fail. Throws
  // std::bad_alloc where throwAt or throwAnyAt asked for it. `number`
  // receives the call's number among the calls of its kind.
  bool fails(FileOp op, int* number = nullptr);
  // How many of n bytes the disk still takes.
  std::size_t room(std::size_t n);
  // Where write call `call` of n bytes is to be damaged; n when nowhere.
  std::size_t corruptionOf(int call, std::size_t n);
  // Counts a read of `path` and hands `flip` the offset of every changed
  // byte that this read is to show.
  template <typename Flip>
  void readOf(const std::string& path, Flip flip);
  // Runs the actions that `after` gave for a call of kind `op` on `path`.
  void succeeded(FileOp op, const std::string& path);

  FileSystem& inner_;
  Lock mutex_;  // calls may come from several threads; their order then varies
  std::array<int, kFileOpCount> counts_{};
  std::vector<Fault> faults_;
  bool limited_ = false;
  std::uint64_t bytesLeft_ = 0;
  std::string programPath_;
  std::vector<std::pair<std::string, int>> unopenable_;  // path, opens still allowed
  int allCalls_ = 0;
  int anyFailsAt_ = 0;  // 0: none
  int endsAt_ = 0;      // 0: none
  std::optional<FileOp> anyFailed_;
  std::vector<Corruption> corruptions_;
  std::vector<Change> changes_;
  std::vector<Throw> throwsAt_;
  int anyThrowsAt_ = 0;  // 0: none
  std::vector<std::pair<FileOp, std::function<void(const std::string&)>>> afterwards_;
};

}  // namespace platform
