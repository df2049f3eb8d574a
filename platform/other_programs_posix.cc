#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/other_programs.h"

namespace platform {
namespace {

// An advisory lock on a directory, held through an open descriptor of it:
// closing it, or the end of the process, lets it go.
class DirectoryLock final : public TargetClaim {
 public:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  ~DirectoryLock() override {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;  // -1: nothing is held
};

void lockFully(int fd, int how) {
  while (::flock(fd, how) != 0 && errno == EINTR) {
  }
}

// Whether `path` still names the file open at `fd`.
bool stillNamed(int fd, const std::string& path) {
  struct stat open {}, named {};
  return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// A shared lock on the users' file of the temporary directory; the last
// user to go deletes the file.
class TemporariesUse final : public TargetClaim {
 public:
  TemporariesUse(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TemporariesUse() override {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd_, path_)) ::unlink(path_.c_str());
    ::close(fd_);
  }
  TemporariesUse(const TemporariesUse&) = delete;
  TemporariesUse& operator=(const TemporariesUse&) = delete;

 private:
  int fd_;
  std::string path_;
};

}  // namespace

// An open file stops no rename or removal here: no holder is ever needed.
std::vector<FileHolder> SystemOtherPrograms::holders(const std::string&) { return {}; }

std::unique_ptr<TargetClaim> SystemOtherPrograms::claim(const std::string& dir) {
  const int fd = ::open(toNative(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::make_unique<DirectoryLock>(-1);
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) return std::make_unique<DirectoryLock>(fd);
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  // A file system without such locks must not stop the run.
  return held ? nullptr : std::make_unique<DirectoryLock>(-1);
}

std::unique_ptr<TargetClaim> SystemOtherPrograms::useTemporaries(const std::string& dir, bool* alone) {
  *alone = false;
  const std::string path = toNative(dir + "VDXusers.lck");
  // The last user deletes the file; a file that went between our open and
  // our lock is opened again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return std::make_unique<DirectoryLock>(-1);
    const bool first = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!first) lockFully(fd, LOCK_SH);
    if (!stillNamed(fd, path)) {
      ::close(fd);
      continue;
    }
    if (first) lockFully(fd, LOCK_SH);  // others may join from now on
    *alone = first;
    return std::make_unique<TemporariesUse>(fd, path);
  }
  return std::make_unique<DirectoryLock>(-1);
}

}  // namespace platform
