#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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
  const int flags = mode == Mode::kRead     ? O_RDONLY
                    : mode == Mode::kCreate ? (O_WRONLY | O_CREAT | O_TRUNC)
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
