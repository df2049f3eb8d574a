// Files and directories, behind the FileSystem interface that the engines
// receive by reference: `main` gives them the machine's own, tests may wrap
// it to inject faults (platform/fault_injection.h).
//
// Names inside the system use '\' as the separator and code page 1252 (as in
// patch files and messages). The POSIX side turns them into '/' and UTF-8 at
// this boundary, and the names it is given back into code page 1252; the
// Win32 side passes them to the ANSI API unchanged and lists directories
// through the wide API, so that a name the code page cannot hold shows '?'
// on both (codepage.h). Nothing here prints or exits: every call reports
// success, and the caller chooses the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A handle value that the clean-up code may close from a signal handler.
#ifdef _WIN32
using NativeHandle = void*;  // HANDLE
#else
using NativeHandle = int;    // file descriptor
#endif

// Text from the host (the names it gives, the program's arguments, its
// environment) in the system's code page, and system text for the host.
// POSIX converts from and to UTF-8; on Windows the ANSI API already speaks
// the system's code page, and both return `text` unchanged.
std::string fromHost(const std::string& text);
std::string toHost(const std::string& text);
// A system text in UTF-8, and a UTF-8 text (one the user wrote, process.h)
// in the system's code page, a character the code page lacks becoming '?'.
// POSIX: as toHost and fromHost; Windows: through the ANSI code page.
// utf8FromSystem(systemFromUtf8(t)) == t tells that nothing was lost.
std::string utf8FromSystem(const std::string& text);
std::string systemFromUtf8(const std::string& text);
// A system path with the host's separators, still in the system's code
// page: for texts that go to the host whole later, such as a command line.
std::string hostSeparators(const std::string& path);
// Converts a system path ('\' separators) to the host's form.
std::string toNative(const std::string& path);
// `path` as an absolute path with the host's separators (in the system's
// code page), from the current directory when it is relative.
std::string absolutePath(const std::string& path);
// The position of the last separator ('\' or '/', in system and host
// paths alike) among the first `length` bytes of `path`; npos when there
// is none.
std::size_t lastSeparator(const std::string& path, std::size_t length = std::string::npos);

// An open file; destroying it closes it.
class File {
 public:
  // kCreate truncates or creates for writing; kCreateReadWrite also reads
  // back; kCreateNew reads and writes a file that must not exist yet;
  // kAppend writes at the end of a file, which it creates when missing.
  enum class Mode { kRead, kCreate, kCreateReadWrite, kCreateNew, kAppend };

  virtual ~File() = default;
  // Reads up to n bytes; returns the count read, 0 at the end, -1 on error.
  virtual long read(void* buffer, std::size_t n) = 0;
  // Writes all n bytes; false on any error (a full disk included).
  virtual bool write(const void* buffer, std::size_t n) = 0;
  virtual bool seek(std::uint64_t offset) = 0;
  virtual bool size(std::uint64_t* result) const = 0;
  // False when the system reports an error (written data may be lost).
  // Every later call fails; a second close succeeds.
  virtual bool close() = 0;
  // Has the system write what it holds of the file to the disk itself, so
  // that it survives a power cut; false on error.
  virtual bool flushToDisk() = 0;
  virtual NativeHandle native() const = 0;

  // Reads exactly n bytes from the current position; false when fewer exist.
  bool readFully(void* buffer, std::size_t n);
  // Reads exactly n bytes at `offset` (moves the file position).
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n);
};

// File attributes in the system's values. On POSIX they are derived: read-only
// when the owner may not write, hidden for names that begin with a dot,
// directory, and archive for every other file.
constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeHidden = 0x02;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;

// Why a call of a FileSystem or File failed, as far as the programs tell
// causes apart: the file is held open by another program, the user lacks
// the right, or the disk is full.
enum class Failure { kOther, kInUse, kAccessDenied, kDiskFull };
// The cause of the latest failed call on this thread, like errno: a call
// that succeeds leaves it as it was. Read it right after the failure.
Failure lastFailure();
// Records the cause of a failure (file systems, for the call that failed).
void noteFailure(Failure cause);

struct FileStatus {
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  std::uint32_t dosDateTime = 0;  // last write, local time, in DOS form
  bool isDirectory = false;
  bool isLink = false;            // a symbolic link or junction (not followed by walks)
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens `path` (system form); null on failure.
  virtual std::unique_ptr<File> open(const std::string& path, File::Mode mode) = 0;
  virtual bool deleteFile(const std::string& path) = 0;
  // A file that exists and is no directory.
  virtual bool fileExists(const std::string& path) = 0;
  // False when `path` does not exist.
  virtual bool fileStatus(const std::string& path, FileStatus* status) = 0;
  virtual bool isDirectory(const std::string& path) = 0;

  // Sets the attributes in the system's values (0 and kAttributeArchive alone
  // mean a normal file). On POSIX only read-only has an effect: it clears the
  // write permissions, its absence gives the owner write permission back.
  virtual bool setAttributes(const std::string& path, std::uint32_t attributes) = 0;
  // Sets the last-write time to a DOS date-time taken as local time (creation
  // and access times stay). False when the time cannot be converted or set.
  virtual bool setLastWriteTime(const std::string& path, std::uint32_t dosDateTime) = 0;
  // Renames `from` to `to` on the same volume, replacing a file at `to`
  // (a read-only one too).
  virtual bool moveFile(const std::string& from, const std::string& to) = 0;
  // Renames `from` to `to` on the same volume only when nothing is at `to`.
  virtual bool moveFileNew(const std::string& from, const std::string& to) = 0;
  // Gives `to` the access rights of the existing file `from`, so that a new
  // version keeps them (POSIX: the permission bits, such as execute; Windows
  // keeps its attributes apart, and nothing is done).
  virtual void keepAccessRights(const std::string& from, const std::string& to) = 0;
  // Creates one directory; false when it could not (it may already exist).
  virtual bool makeDirectory(const std::string& path) = 0;
  // Removes an empty directory.
  virtual bool removeDirectory(const std::string& path) = 0;
  // Whether the existing file `path` can be replaced, moved or removed now,
  // tested without changing it. Windows: it opens for exclusive access with
  // the right to delete (no other program has it open, the user may remove
  // it). POSIX: its directory is writable. False notes the cause: kInUse
  // (another program holds it), kAccessDenied (the user lacks the right) or
  // kOther.
  virtual bool canReplace(const std::string& path) = 0;
  // The names in directory `path`, in the order the system lists them,
  // without "." and "..". False when it cannot be opened as a directory.
  // `written`, when given, gets the same names as the host spells them, in
  // UTF-8 (POSIX: the name's own bytes; Windows: from the wide API), where
  // no code page has taken characters away.
  virtual bool listDirectory(const std::string& path, std::vector<std::string>* names,
                             std::vector<std::string>* written = nullptr) = 0;
  // Bytes the caller may still write on the volume that holds `path`.
  virtual bool freeSpace(const std::string& path, std::uint64_t* bytes) = 0;

  // A local time in DOS form: seconds / 2 in bits 0-4, minutes 5-10, hours
  // 11-15, day 16-20, month 21-24, years since 1980 25-31.
  virtual std::uint32_t dosDateTimeNow() = 0;
  // The system's directory for temporary files, ending in a separator.
  virtual std::string tempDirectory() = 0;
  // Creates a new empty file named `prefix` + something unique in the
  // system's temporary directory; its path goes to `path`.
  virtual bool createTempFile(const std::string& prefix, std::string* path) = 0;
  // Full path of the running program, in system form ('\' separators).
  virtual std::string programPath() = 0;

  // Reads a whole file into `data`. False when it cannot be opened or read.
  bool readWholeFile(const std::string& path, std::string* data);
  // Creates (or truncates) `path` with exactly `data`.
  bool writeWholeFile(const std::string& path, const std::string& data);
};

// The machine's own file system.
class SystemFileSystem final : public FileSystem {
 public:
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
  std::uint32_t dosDateTimeNow() override;
  std::string tempDirectory() override;
  bool createTempFile(const std::string& prefix, std::string* path) override;
  std::string programPath() override;
};

}  // namespace platform
