// Files, paths and the program's own location.
//
// Names inside the system use '\' as the separator (as in patch files and
// messages). The POSIX side turns them into '/' at this boundary; the Win32
// side passes them to the ANSI API unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A handle value that the clean-up code may close from a signal handler.
#ifdef _WIN32
using NativeHandle = void*;  // HANDLE
#else
using NativeHandle = int;    // file descriptor
#endif

// Converts a system path ('\' separators) to the host's form.
std::string toNative(const std::string& path);

// An open file. Moves, never copies; closes itself.
class File {
 public:
  // kCreate truncates or creates for writing; kCreateReadWrite also reads
  // back; kCreateNew reads and writes a file that must not exist yet.
  enum class Mode { kRead, kCreate, kCreateReadWrite, kCreateNew };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` (system form). Returns false and leaves the file closed on failure.
  bool open(const std::string& path, Mode mode);
  bool isOpen() const { return open_; }
  // Reads up to n bytes; returns the count read, 0 at the end, -1 on error.
  long read(void* buffer, std::size_t n);
  // Writes all n bytes; false on any error (a full disk included).
  bool write(const void* buffer, std::size_t n);
  bool seek(std::uint64_t offset);
  // Reads exactly n bytes at `offset` (moves the file position).
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n);
  bool size(std::uint64_t* result) const;
  bool close();
  NativeHandle native() const { return handle_; }

 private:
  bool open_ = false;
  NativeHandle handle_{};
};

// Reads a whole file into `data`. False when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string* data);
bool deleteFile(const std::string& path);
bool fileExists(const std::string& path);

// File attributes in the system's values. On POSIX they are derived: read-only
// when the owner may not write, hidden for names that begin with a dot,
// directory, and archive for every other file.
constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeHidden = 0x02;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;

struct FileStatus {
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  std::uint32_t dosDateTime = 0;  // last write, local time, in DOS form
  bool isDirectory = false;
  bool isLink = false;            // a symbolic link or junction (not followed by walks)
};

// False when `path` does not exist.
bool fileStatus(const std::string& path, FileStatus* status);
bool isDirectory(const std::string& path);

// Sets the attributes in the system's values (0 and kAttributeArchive alone
// mean a normal file). On POSIX only read-only has an effect: it clears the
// write permissions, its absence gives the owner write permission back.
bool setAttributes(const std::string& path, std::uint32_t attributes);
// Sets the last-write time to a DOS date-time taken as local time (creation
// and access times stay). False when the time cannot be converted or set.
bool setLastWriteTime(const std::string& path, std::uint32_t dosDateTime);
// Renames `from` to `to` on the same volume, replacing a file at `to`
// (a read-only one too).
bool moveFile(const std::string& from, const std::string& to);
// Gives `to` the access rights of the existing file `from`, so that a new
// version keeps them (POSIX: the permission bits, such as execute; Windows
// keeps its attributes apart, and nothing is done).
void keepAccessRights(const std::string& from, const std::string& to);
// Renames `from` to `to` on the same volume only when nothing is at `to`.
bool moveFileNew(const std::string& from, const std::string& to);
// Creates one directory; false when it could not (it may already exist).
bool makeDirectory(const std::string& path);
// Whether the existing file `path` can be replaced, moved or removed now,
// tested without changing it. Windows: it opens for exclusive access (no
// other program has it open). POSIX: its directory is writable.
bool canReplace(const std::string& path);

// The names in directory `path`, in the order the system lists them,
// without "." and "..". False when it cannot be opened as a directory.
bool listDirectory(const std::string& path, std::vector<std::string>* names);

// A local time in DOS form: seconds / 2 in bits 0-4, minutes 5-10, hours
// 11-15, day 16-20, month 21-24, years since 1980 25-31.
std::uint32_t dosDateTimeNow();

// The system's directory for temporary files, ending in a separator.
std::string tempDirectory();

// Creates a new empty file named `prefix` + something unique in the
// system's temporary directory; its path goes to `path`.
bool createTempFile(const std::string& prefix, std::string* path);

// Full path of the running program, in system form ('\' separators).
std::string programPath();

}  // namespace platform
