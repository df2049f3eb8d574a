#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/files.h"

namespace platform {

std::string toNative(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

File::~File() { close(); }

File::File(File&& other) noexcept : open_(other.open_), handle_(other.handle_) { other.open_ = false; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    open_ = other.open_;
    handle_ = other.handle_;
    other.open_ = false;
  }
  return *this;
}

bool File::open(const std::string& path, Mode mode) {
  close();
  const int flags = mode == Mode::kRead        ? O_RDONLY
                    : mode == Mode::kCreate    ? (O_WRONLY | O_CREAT | O_TRUNC)
                    : mode == Mode::kCreateNew ? (O_RDWR | O_CREAT | O_EXCL)
                                               : (O_RDWR | O_CREAT | O_TRUNC);
  int fd;
  do {
    fd = ::open(toNative(path).c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  if (mode == Mode::kRead) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // Windows cannot open a directory as a file
      ::close(fd);
      return false;
    }
  }
  handle_ = fd;
  open_ = true;
  return true;
}

long File::read(void* buffer, std::size_t n) {
  if (!open_) return -1;
  if (n > LONG_MAX) n = LONG_MAX;
  ssize_t got;
  do {
    got = ::read(handle_, buffer, n);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool File::write(const void* buffer, std::size_t n) {
  if (!open_) return false;
  const char* p = static_cast<const char*>(buffer);
  while (n > 0) {
    const ssize_t put = ::write(handle_, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

bool File::seek(std::uint64_t offset) {
  return open_ && lseek(handle_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool File::size(std::uint64_t* result) const {
  struct stat st;
  if (!open_ || fstat(handle_, &st) != 0) return false;
  *result = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool File::close() {
  if (!open_) return true;
  open_ = false;
  return ::close(handle_) == 0;
}

bool deleteFile(const std::string& path) { return ::unlink(toNative(path).c_str()) == 0; }

bool fileExists(const std::string& path) {
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
  const std::string::size_type slash = path.find_last_of("\\/", end - 1);
  return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
}

}  // namespace

bool fileStatus(const std::string& path, FileStatus* status) {
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

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(toNative(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(toNative(path).c_str());
  if (dir == nullptr) return false;
  names->clear();
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  return true;
}

std::uint32_t dosDateTimeNow() { return dosFromTime(std::time(nullptr)); }

std::string tempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  if (path.back() != '/' && path.back() != '\\') path += '\\';
  return path;
}

bool createTempFile(const std::string& prefix, std::string* path) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = ::mkstemp(buffer.data());
  if (fd < 0) return false;
  ::close(fd);
  *path = buffer.data();
  return true;
}

std::string programPath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  std::string path(buffer, static_cast<std::size_t>(n));
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace platform
