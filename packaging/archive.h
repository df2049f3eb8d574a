// Archive packing: the finished output (update.utp or update.exe) put into
// an archive, by the internal zip writer or by an external packer program
// run through the command interpreter with a command line built from the
// packer table.
//
// Nothing here prints or exits: every operation returns a PackResult, and
// the builder turns its error into the message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/process.h"

namespace packaging {

// One packer. The fields have the sizes of the table's fixed text fields,
// terminator included, so that a built-in text too long for its field does
// not compile.
struct PackerRow {
  char name[12];
  char program[20];       // looked up on the search path; empty: none on this platform
  char extension[12];     // of the archive, with its dot
  char programPath[300];  // used instead of `program` when not empty
  char options[80];       // "%b" base name, "%p" output name, "%%" a "%"
};

constexpr std::size_t kPackerCount = 9;
constexpr std::size_t kInternalZip = 0;  // the row packed by the zip writer itself
extern const std::array<PackerRow, kPackerCount> kPackers;

// The row whose name equals `name` in any letter case; kPackerCount when
// none does.
std::size_t packerRowByName(const std::string& name);

// Room of the command texts, in characters: the expanded options, the
// program with a blank and the expanded options, and the whole command
// with its redirection.
constexpr std::size_t kMaxExpandedOptions = 599;
constexpr std::size_t kMaxProgramAndOptions = 399;
constexpr std::size_t kMaxCommand = 499;

enum class PackError {
  kNone,
  kUnknownPlatform,   // the row names no program
  kNotFound,          // `name` (program or program path) is not on the search path `detail`
  kUnquotable,        // `name` cannot be given safely to the command interpreter
  kCommandTooLong,    // a command text would exceed `limit` characters
  kBadOptionFormat,   // the options hold "%" followed by other than "b", "p" or "%"
  kCannotCreateZip,   // the zip archive `name` cannot be created
  kCannotAddEntry,    // the entry `name` cannot be opened in the zip archive
  kCannotReadOutput,  // the output cannot be opened or read whole
  kZipWriteFailed,    // the zip writer reported an error
  kNoArchive,         // the archive `name` is missing after the packer ran
};

struct PackResult {
  PackError error = PackError::kNone;
  std::string name;
  std::string detail;
  std::size_t limit = 0;
  std::string archive;     // base name + the row's extension
  std::uint64_t size = 0;  // the archive's length, once packed
  std::string command;     // what was (or would be) run for an external packer
};

// Where a program was found: the word that starts it from the command
// interpreter (the name as the directory spells it, or ".\name" when only
// the current directory holds it); empty when no directory holds it.
// `searchPath` is PATH's value, cut at platform::pathListSeparator(); its
// entries and the current directory "." (searched last) are listed and
// compared without regard to case. Each of
// platform::programNameCandidates(program) is looked for in turn.
std::string findProgram(platform::FileSystem& files, const std::string& program, const std::string& searchPath);

// The check before the job: the row has a program for this platform, and
// with `lookUp` the program path is readable or the program is on
// `searchPath`. Nothing is checked for the internal zip.
PackResult checkPacker(platform::FileSystem& files, std::size_t row, bool lookUp, const std::string& searchPath);

// The row's options with "%b" as `quotedBase`, "%p" as `quotedOutput` and
// "%%" as "%"; false for any other "%" sequence, a final "%" included.
bool expandOptions(const std::string& options, const std::string& quotedBase, const std::string& quotedOutput,
                   std::string* expanded);

// The command of an external packer, in result.command: the program (as
// found on `searchPath`, else as the table names it), a blank, the expanded
// options, and " >" with the null device. Names in it are quoted for the
// command interpreter.
PackResult packerCommand(platform::FileSystem& files, std::size_t row, const std::string& baseName,
                         const std::string& outputName, const std::string& searchPath);

// Packs `outputName` into baseName + the row's extension, replacing an
// archive of that name; the output stays. An external packer's exit status
// is not looked at: the archive existing afterwards is success. A zip
// archive that the internal writer could not complete is deleted.
PackResult pack(platform::FileSystem& files, platform::CommandRunner& commands, std::size_t row,
                const std::string& baseName, const std::string& outputName, const std::string& searchPath);

}  // namespace packaging
