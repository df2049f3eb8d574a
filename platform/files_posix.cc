#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"

namespace platform {

std::string fromHost(const std::string& text) { return utf8ToCp1252(text); }
std::string toHost(const std::string& text) { return cp1252ToUtf8(text); }
std::string utf8FromSystem(const std::string& text) { return toHost(text); }
std::string systemFromUtf8(const std::string& text) { return fromHost(text); }

std::string hostSeparators(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string toNative(const std::string& path) { return toHost(hostSeparators(path)); }

std::string absolutePath(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return hostSeparators(path);
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return hostSeparators(path);
  const std::string base = fromHost(cwd);
  if (path == ".") return base;
  std::string rest = path;
  if (rest.compare(0, 2, ".\\") == 0 || rest.compare(0, 2, "./") == 0) rest = rest.substr(2);
  return hostSeparators(base == "/" ? base + rest : base + "/" + rest);
}

namespace {

Failure causeOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return Failure::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return Failure::kDiskFull;
    case ETXTBSY:
    case EBUSY:
      return Failure::kInUse;
    default:
      return Failure::kOther;
  }
}

// Notes the cause that errno names; for the return of a call that failed.
bool failed() {
  noteFailure(causeOf(errno));
  return false;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(); }

  long read(void* buffer, std::size_t n) override {
    if (fd_ < 0) return -1;
    if (n > LONG_MAX) n = LONG_MAX;
    ssize_t got;
    do {
      got = ::read(fd_, buffer, n);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
  }

  bool write(const void* buffer, std::size_t n) override {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(buffer);
    while (n > 0) {
      const ssize_t put = ::write(fd_, p, n);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return failed();
      if (put == 0) {  // nothing more fits
        noteFailure(Failure::kDiskFull);
        return false;
      }
      p += put;
      n -= static_cast<std::size_t>(put);
    }
    return true;
  }

  bool seek(std::uint64_t offset) override {
    return fd_ >= 0 && lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }

  bool size(std::uint64_t* result) const override {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    *result = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool close() override {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || failed();
  }

  bool flushToDisk() override { return fd_ >= 0 && (::fsync(fd_) == 0 || failed()); }

  NativeHandle native() const override { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<File> SystemFileSystem::open(const std::string& path, File::Mode mode) {
  const int flags = mode == File::Mode::kRead        ? O_RDONLY
                    : mode == File::Mode::kCreate    ? (O_WRONLY | O_CREAT | O_TRUNC)
                    : mode == File::Mode::kCreateNew ? (O_RDWR | O_CREAT | O_EXCL)
                    : mode == File::Mode::kAppend    ? (O_WRONLY | O_CREAT | O_APPEND)
                                                     : (O_RDWR | O_CREAT | O_TRUNC);
  int fd;
  do {
    fd = ::open(toNative(path).c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    failed();
    return nullptr;
  }
  if (mode == File::Mode::kRead) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // Windows cannot open a directory as a file
      ::close(fd);
      return nullptr;
    }
  }
  return std::make_unique<PosixFile>(fd);
}

bool SystemFileSystem::deleteFile(const std::string& path) { return ::unlink(toNative(path).c_str()) == 0 || failed(); }

bool SystemFileSystem::fileExists(const std::string& path) {
  struct stat st;
  return ::stat(toNative(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

std::uint32_t dosFromTime(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr || local.tm_year < 80) return (1u << 21) | (1u << 16);  // 1980-01-01
  return static_cast<std::uint32_t>(local.tm_year - 80) << 25 | static_cast<std::uint32_t>(local.tm_mon + 1) << 21 |
         static_cast<std::uint32_t>(local.tm_mday) << 16 | static_cast<std::uint32_t>(local.tm_hour) << 11 |
         static_cast<std::uint32_t>(local.tm_min) << 5 | static_cast<std::uint32_t>(local.tm_sec / 2);
}

std::string baseName(const std::string& path) {
  std::string::size_type end = path.size();
  while (end > 1 && (path[end - 1] == '\\' || path[end - 1] == '/')) --end;
  const std::string::size_type slash = lastSeparator(path, end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
}

}  // namespace

bool SystemFileSystem::fileStatus(const std::string& path, FileStatus* status) {
  const std::string native = toNative(path);
  struct stat link;
  if (::lstat(native.c_str(), &link) != 0) return false;
  *status = FileStatus();
  status->isLink = S_ISLNK(link.st_mode);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) st = link;  // a dangling link is reported as itself
  status->isDirectory = S_ISDIR(st.st_mode);
  status->size = status->isDirectory ? 0 : static_cast<std::uint64_t>(st.st_size);
  status->dosDateTime = dosFromTime(st.st_mtime);
  std::uint32_t a = status->isDirectory ? kAttributeDirectory : kAttributeArchive;
  if (!(st.st_mode & S_IWUSR)) a |= kAttributeReadOnly;
  const std::string name = baseName(path);
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttributeHidden;
  status->attributes = a;
  return true;
}

bool SystemFileSystem::isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(toNative(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SystemFileSystem::setAttributes(const std::string& path, std::uint32_t attributes) {
  const std::string native = toNative(path);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttributeReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  return ::chmod(native.c_str(), mode) == 0;
}

bool SystemFileSystem::setLastWriteTime(const std::string& path, std::uint32_t dosDateTime) {
  std::tm local{};
  local.tm_year = static_cast<int>(dosDateTime >> 25) + 80;
  local.tm_mon = static_cast<int>((dosDateTime >> 21) & 15) - 1;
  local.tm_mday = static_cast<int>((dosDateTime >> 16) & 31);
  local.tm_hour = static_cast<int>((dosDateTime >> 11) & 31);
  local.tm_min = static_cast<int>((dosDateTime >> 5) & 63);
  local.tm_sec = static_cast<int>(dosDateTime & 31) * 2;
  local.tm_isdst = -1;  // the zone's rule for that date decides, as Windows' local time does
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 || local.tm_min > 59 ||
      local.tm_sec > 59) {
    return false;
  }
  const int year = local.tm_year;
  const int month = local.tm_mon;
  const std::time_t t = std::mktime(&local);
  // mktime moves a day past the month's end into the next month: no such date.
  if (t == static_cast<std::time_t>(-1) || local.tm_year != year || local.tm_mon != month) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, toNative(path).c_str(), times, 0) == 0;
}

// rename(2) replaces a target whatever its permissions, as a move over a
// read-only file does on Windows once its attribute is cleared.
bool SystemFileSystem::moveFile(const std::string& from, const std::string& to) {
  return ::rename(toNative(from).c_str(), toNative(to).c_str()) == 0 || failed();
}

void SystemFileSystem::keepAccessRights(const std::string& from, const std::string& to) {
  struct stat st;
  if (::stat(toNative(from).c_str(), &st) == 0) ::chmod(toNative(to).c_str(), st.st_mode & 07777);
}

bool SystemFileSystem::moveFileNew(const std::string& from, const std::string& to) {
  const std::string a = toNative(from), b = toNative(to);
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return failed();
  // File systems without the flag: a second name, then the first one goes.
  return (::link(a.c_str(), b.c_str()) == 0 && ::unlink(a.c_str()) == 0) || failed();
}

bool SystemFileSystem::makeDirectory(const std::string& path) {
  return ::mkdir(toNative(path).c_str(), 0777) == 0 || failed();
}
bool SystemFileSystem::removeDirectory(const std::string& path) { return ::rmdir(toNative(path).c_str()) == 0; }

// Replacing, moving or removing a file changes its directory, so that is
// what must be writable; open files are no obstacle on POSIX.
bool SystemFileSystem::canReplace(const std::string& path) {
  if (!fileExists(path)) {
    noteFailure(Failure::kOther);
    return false;
  }
  std::string dir = toNative(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string::size_type slash = lastSeparator(dir);
  dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : dir.substr(0, slash);
  return ::access(dir.c_str(), W_OK) == 0 || failed();
}

bool SystemFileSystem::listDirectory(const std::string& path, std::vector<std::string>* names,
                                     std::vector<std::string>* written) {
  DIR* dir = ::opendir(toNative(path).c_str());
  if (dir == nullptr) return false;
  names->clear();
  if (written != nullptr) written->clear();
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    names->push_back(fromHost(name));
    if (written != nullptr) written->push_back(name);
  }
  ::closedir(dir);
  return true;
}

bool SystemFileSystem::freeSpace(const std::string& path, std::uint64_t* bytes) {
  // A name that is no directory (a file that may not exist yet) is asked
  // for through the directory that holds it, as on Windows.
  std::string dir = toNative(path);
  if (!isDirectory(path)) {
    const std::string::size_type slash = lastSeparator(dir);
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash + 1);
  }
  struct statvfs st;
  if (::statvfs(dir.c_str(), &st) != 0) return false;
  *bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

std::uint32_t SystemFileSystem::dosDateTimeNow() { return dosFromTime(std::time(nullptr)); }

namespace {

// $TMPDIR (system text), or /tmp.
std::string temporaryRoot() {
  const std::string dir = getEnv("TMPDIR");
  return dir.empty() ? std::string("/tmp") : dir;
}

}  // namespace

std::string SystemFileSystem::tempDirectory() {
  std::string path = temporaryRoot();
  if (path.back() != '/' && path.back() != '\\') path += '\\';
  return path;
}

bool SystemFileSystem::createTempFile(const std::string& prefix, std::string* path) {
  const std::string pattern = toNative(temporaryRoot() + "/" + prefix) + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = ::mkstemp(buffer.data());
  if (fd < 0) return false;
  ::close(fd);
  *path = fromHost(buffer.data());
  return true;
}

std::string SystemFileSystem::programPath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  std::string path = fromHost(std::string(buffer, static_cast<std::size_t>(n)));
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace platform
