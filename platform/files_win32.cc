#include <windows.h>

#include <cwchar>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/win32_support.h"

namespace platform {

std::string fromHost(const std::string& text) { return text; }
std::string toHost(const std::string& text) { return text; }

namespace {

// `text` in code page `from` as code page `to`; what `to` lacks becomes '?'
// (never a look-alike, as in fromWide).
std::string recoded(const std::string& text, UINT from, UINT to) {
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(from, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(from, 0, text.data(), size, &wide[0], n);
  return to == CP_UTF8 ? utf8FromWide(wide.data(), wide.size()) : fromWide(wide.data(), wide.size());
}

}  // namespace

std::string utf8FromSystem(const std::string& text) { return recoded(text, CP_ACP, CP_UTF8); }
std::string systemFromUtf8(const std::string& text) { return recoded(text, CP_UTF8, CP_ACP); }
std::string hostSeparators(const std::string& path) { return path; }
std::string toNative(const std::string& path) { return path; }

std::wstring toWide(const std::string& name) {
  const int n = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), &out[0], n);
  return out;
}

std::string utf8FromWide(const wchar_t* text, std::size_t length) {
  const int size = static_cast<int>(length);
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, size, &out[0], n, nullptr, nullptr);
  return out;
}

std::string fromWide(const wchar_t* name, std::size_t length, bool* unrepresentable) {
  // A UTF-8 ANSI code page holds every character and takes neither the flag nor a default.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const char* mark = utf8 ? nullptr : "?";
  const int size = static_cast<int>(length);
  const int n = WideCharToMultiByte(CP_ACP, flags, name, size, nullptr, 0, mark, used);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, flags, name, size, &out[0], n, mark, used);
  if (unrepresentable != nullptr) *unrepresentable = usedDefault != FALSE;
  return out;
}

namespace {

Failure causeOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return Failure::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return Failure::kInUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Failure::kDiskFull;
    default:
      return Failure::kOther;
  }
}

// Notes the cause that GetLastError names; for the return of a call that failed.
bool failed() {
  noteFailure(causeOf(GetLastError()));
  return false;
}

}  // namespace

std::string absolutePath(const std::string& path) {
  wchar_t full[MAX_PATH * 2];
  const DWORD n = GetFullPathNameW(toWide(path).c_str(), MAX_PATH * 2, full, nullptr);
  return n == 0 || n >= MAX_PATH * 2 ? path : fromWide(full, n);
}

namespace {

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE h) : handle_(h) {}
  ~Win32File() override { close(); }

  long read(void* buffer, std::size_t n) override {
    if (handle_ == INVALID_HANDLE_VALUE) return -1;
    if (n > 0x40000000) n = 0x40000000;
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(n), &got, nullptr)) return -1;
    return static_cast<long>(got);
  }

  bool write(const void* buffer, std::size_t n) override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const char* p = static_cast<const char*>(buffer);
    while (n > 0) {
      const DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
      DWORD put = 0;
      if (!WriteFile(handle_, p, chunk, &put, nullptr)) return failed();
      if (put == 0) {  // nothing more fits
        noteFailure(Failure::kDiskFull);
        return false;
      }
      p += put;
      n -= put;
    }
    return true;
  }

  bool seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return handle_ != INVALID_HANDLE_VALUE && SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN);
  }

  bool size(std::uint64_t* result) const override {
    LARGE_INTEGER s;
    if (handle_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle_, &s)) return false;
    *result = static_cast<std::uint64_t>(s.QuadPart);
    return true;
  }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0 || failed();
  }

  bool flushToDisk() override {
    return handle_ != INVALID_HANDLE_VALUE && (FlushFileBuffers(handle_) != 0 || failed());
  }

  NativeHandle native() const override { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<File> SystemFileSystem::open(const std::string& path, File::Mode mode) {
  // Files opened for reading and new (temporary) files share deletion, so
  // that the interrupt handler can remove them while they are still open.
  HANDLE h;
  if (mode == File::Mode::kRead) {
    h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (mode == File::Mode::kAppend) {
    // Others may read it meanwhile (a log followed while it grows).
    h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
  } else {
    const DWORD access = mode == File::Mode::kCreate ? GENERIC_WRITE : (GENERIC_READ | GENERIC_WRITE);
    const DWORD how = mode == File::Mode::kCreateNew ? CREATE_NEW : CREATE_ALWAYS;
    const DWORD share = mode == File::Mode::kCreateNew ? FILE_SHARE_DELETE : 0;
    h = CreateFileA(path.c_str(), access, share, nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    failed();
    return nullptr;
  }
  return std::make_unique<Win32File>(h);
}

bool SystemFileSystem::deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0 || failed(); }

bool SystemFileSystem::fileExists(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

std::uint32_t dosFromFileTime(const FILETIME& utc) {
  FILETIME local;
  WORD date = 0;
  WORD time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return 0x00210000;
  return static_cast<std::uint32_t>(date) << 16 | time;
}

}  // namespace

bool SystemFileSystem::fileStatus(const std::string& path, FileStatus* status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *status = FileStatus();
  status->attributes = data.dwFileAttributes;
  status->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status->isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  status->size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  status->dosDateTime = dosFromFileTime(data.ftLastWriteTime);
  return true;
}

bool SystemFileSystem::isDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool SystemFileSystem::setAttributes(const std::string& path, std::uint32_t attributes) {
  return SetFileAttributesA(path.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) != 0;
}

bool SystemFileSystem::setLastWriteTime(const std::string& path, std::uint32_t dosDateTime) {
  FILETIME local;
  FILETIME utc;
  if (!DosDateTimeToFileTime(static_cast<WORD>(dosDateTime >> 16), static_cast<WORD>(dosDateTime & 0xffff), &local) ||
      !LocalFileTimeToFileTime(&local, &utc)) {
    return false;
  }
  // Attribute access is not held back by the share modes of other opens,
  // nor by the read-only attribute. Backup semantics let directories open.
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(h, nullptr, nullptr, &utc) != 0;
  return CloseHandle(h) != 0 && ok;
}

void SystemFileSystem::keepAccessRights(const std::string&, const std::string&) {}

bool SystemFileSystem::moveFileNew(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), 0) != 0 || failed();
}

bool SystemFileSystem::moveFile(const std::string& from, const std::string& to) {
  // MoveFileEx does not replace a read-only file: clear the attribute first
  // and give it back when the move fails after all.
  const DWORD target = GetFileAttributesA(to.c_str());
  const bool readOnly = target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) &&
                        !(target & FILE_ATTRIBUTE_DIRECTORY);
  if (readOnly && !SetFileAttributesA(to.c_str(), target & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return failed();
  }
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  failed();
  if (readOnly) SetFileAttributesA(to.c_str(), target);
  return false;
}

bool SystemFileSystem::makeDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != 0 || failed();
}
bool SystemFileSystem::removeDirectory(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

bool SystemFileSystem::canReplace(const std::string& path) {
  // Exclusive access fails while any other handle to the file is open
  // (sharing violation); the right to delete is what a move into the
  // backup or aside needs (access denied without it).
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return failed();
  CloseHandle(h);
  return true;
}

bool SystemFileSystem::listDirectory(const std::string& path, std::vector<std::string>* names,
                                     std::vector<std::string>* written) {
  if (!isDirectory(path)) return false;
  std::string pattern = path;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(toWide(pattern).c_str(), &found);
  names->clear();
  if (written != nullptr) written->clear();
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::size_t length = wcslen(found.cFileName);
    const std::string name = fromWide(found.cFileName, length);
    if (name == "." || name == "..") continue;
    names->push_back(name);
    if (written != nullptr) written->push_back(utf8FromWide(found.cFileName, length));
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return true;
}

bool SystemFileSystem::freeSpace(const std::string& path, std::uint64_t* bytes) {
  // The call wants a directory: the one that holds a file is asked instead.
  std::string dir = path;
  if (!isDirectory(dir)) {
    const std::string::size_type slash = lastSeparator(dir);
    dir = slash == std::string::npos ? std::string(".\\") : dir.substr(0, slash + 1);
  }
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(dir.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

std::uint32_t SystemFileSystem::dosDateTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return dosFromFileTime(now);
}

std::string SystemFileSystem::tempDirectory() {
  wchar_t dir[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  std::string path = n > 0 && n <= MAX_PATH ? fromWide(dir, n) : std::string(".\\");
  if (path.back() != '\\') path += '\\';
  return path;
}

bool SystemFileSystem::createTempFile(const std::string& prefix, std::string* path) {
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, toWide(prefix).c_str(), 0, name) == 0) return false;
  bool unrepresentable = false;
  *path = fromWide(name, wcslen(name), &unrepresentable);
  // A name the ANSI API cannot reach is of no use: the file goes again.
  if (unrepresentable) DeleteFileW(name);
  return !unrepresentable;
}

std::string SystemFileSystem::programPath() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return fromWide(buffer, n);
}

}  // namespace platform
