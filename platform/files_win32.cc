#include <windows.h>

#include <string>

#include "platform/files.h"

namespace platform {

std::string toNative(const std::string& path) { return path; }

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
  HANDLE h;
  if (mode == Mode::kRead) {
    h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    const DWORD access = mode == Mode::kCreate ? GENERIC_WRITE : (GENERIC_READ | GENERIC_WRITE);
    h = CreateFileA(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  open_ = true;
  return true;
}

long File::read(void* buffer, std::size_t n) {
  if (!open_) return -1;
  if (n > 0x40000000) n = 0x40000000;
  DWORD got = 0;
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(n), &got, nullptr)) return -1;
  return static_cast<long>(got);
}

bool File::write(const void* buffer, std::size_t n) {
  if (!open_) return false;
  const char* p = static_cast<const char*>(buffer);
  while (n > 0) {
    const DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    DWORD put = 0;
    if (!WriteFile(handle_, p, chunk, &put, nullptr) || put == 0) return false;
    p += put;
    n -= put;
  }
  return true;
}

bool File::seek(std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return open_ && SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN);
}

bool File::size(std::uint64_t* result) const {
  LARGE_INTEGER s;
  if (!open_ || !GetFileSizeEx(handle_, &s)) return false;
  *result = static_cast<std::uint64_t>(s.QuadPart);
  return true;
}

bool File::close() {
  if (!open_) return true;
  open_ = false;
  return CloseHandle(handle_) != 0;
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool fileExists(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string programPath() {
  char buffer[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n);
}

}  // namespace platform
