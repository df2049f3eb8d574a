#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace platform
