#include "packaging/archive.h"

#include <zip.h>
#include <zlib.h>

#include <memory>
#include <vector>

namespace packaging {

// The GZIP row: gzip compresses one file and names the result after the
// input, so update.utp would become update.utp.gz, and gzip -k is not in
// every port. Instead -c writes the compressed data to standard output,
// leaving the output in place, and ">%b.gz" sends it to the archive. Every
// packer command ends in a redirection of standard output to the null
// device, which would take gzip's output away again; "&& echo" gives that
// redirection a command of its own (both sh and cmd.exe know "&&" and
// "echo"). -N keeps the output's name and time in the archive.
const std::array<PackerRow, kPackerCount> kPackers = {{
    {"ZIP", "", ".zip", "", ""},
    {"InfoZIP", "zip.exe", ".zip", "", "-9 -g -q -X -j %b.zip %p"},
    {"PkZIP", "pkzip.exe", ".zip", "", "-ex -a -o %b.zip %p"},
    {"GZIP", "gzip.exe", ".gz", "", "-N -9 -c %p >%b.gz && echo"},
    {"RAR", "rar.exe", ".rar", "", "a %b.rar %p -std -tl -ep -m5 -mm"},
    {"LHA", "lha.exe", ".lha", "", "a -n -m %b %p"},
    {"ARJ", "arj.exe", ".arj", "", "a -jm -e -i -y %b.arj %p"},
    {"JAR", "jar32.exe", ".j", "", "a -m4 -y %b.j %p"},
    {"Custom", "Custom.exe", ".any", "", "-what -ever -options %b %p"},
}};

namespace {

constexpr std::size_t kZipPiece = 1024;
// 1980-01-01 00:00:00: the DOS date (year - 1980 in bits 9-15, month in
// 5-8, day in 0-4) in the high 16 bits, the time of day 0 in the low ones.
constexpr unsigned long kZipEntryDosDateTime = 0x00210000;

bool sameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The entry of `directory` named `name` in any letter case, as it is spelled there.
bool findEntry(platform::FileSystem& files, const std::string& directory, const std::string& name, std::string* entry) {
  std::vector<std::string> names;
  if (!files.listDirectory(directory, &names)) return false;
  for (const std::string& n : names) {
    if (sameNoCase(n, name)) {
      *entry = n;
      return true;
    }
  }
  return false;
}

PackResult failure(PackError error, const std::string& name = std::string()) {
  PackResult r;
  r.error = error;
  r.name = name;
  return r;
}

PackResult zipOutput(platform::FileSystem& files, const std::string& archive, const std::string& outputName) {
  zipFile zip = zipOpen(platform::toNative(archive).c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return failure(PackError::kCannotCreateZip, archive);
  // An unfinished archive is closed and removed: none is left that looks complete.
  const auto abandon = [&](PackError error, const std::string& name = std::string()) {
    zipClose(zip, nullptr);
    files.deleteFile(archive);
    return failure(error, name);
  };
  // No attributes, and always the same date, the zip format's first day
  // (1980-01-01 00:00): the same patch gives the same archive. A date of
  // zero would be day 0 of month 0, which archivers show as invalid.
  zip_fileinfo info{};
  info.dosDate = kZipEntryDosDateTime;
  if (zipOpenNewFileInZip(zip, outputName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9) != ZIP_OK) {
    return abandon(PackError::kCannotAddEntry, outputName);
  }
  const std::unique_ptr<platform::File> in = files.open(outputName, platform::File::Mode::kRead);
  if (!in) return abandon(PackError::kCannotReadOutput);
  char piece[kZipPiece];
  for (;;) {
    const long got = in->read(piece, sizeof piece);
    if (got < 0) return abandon(PackError::kCannotReadOutput);
    if (got == 0) break;
    if (zipWriteInFileInZip(zip, piece, static_cast<unsigned>(got)) != ZIP_OK) {
      return abandon(PackError::kZipWriteFailed);
    }
    // Only the last piece may be short.
    if (static_cast<std::size_t>(got) < sizeof piece) {
      char more;
      if (in->read(&more, 1) != 0) return abandon(PackError::kCannotReadOutput);
      break;
    }
  }
  in->close();
  if (zipCloseFileInZip(zip) != ZIP_OK) return abandon(PackError::kZipWriteFailed);
  if (zipClose(zip, nullptr) != ZIP_OK) {
    files.deleteFile(archive);
    return failure(PackError::kZipWriteFailed);
  }
  return PackResult();
}

}  // namespace

std::size_t packerRowByName(const std::string& name) {
  for (std::size_t row = 0; row < kPackerCount; ++row) {
    if (sameNoCase(kPackers[row].name, name)) return row;
  }
  return kPackerCount;
}

std::string findProgram(platform::FileSystem& files, const std::string& program, const std::string& searchPath) {
  std::vector<std::string> directories;
  std::string piece;
  for (char c : searchPath) {
    if (c == platform::pathListSeparator()) {
      directories.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  // A PATH that ends in a separator (or is empty) has no last directory.
  if (!piece.empty()) directories.push_back(piece);
  std::string entry;
  for (const std::string& name : platform::programNameCandidates(program)) {
    for (const std::string& directory : directories) {
      if (findEntry(files, directory, name, &entry)) return entry;
    }
    // The POSIX interpreter does not look in the current directory by
    // itself; cmd.exe does, and takes the explicit form as well.
    if (findEntry(files, ".", name, &entry)) return ".\\" + entry;
  }
  return std::string();
}

PackResult checkPacker(platform::FileSystem& files, std::size_t row, bool lookUp, const std::string& searchPath) {
  if (row == kInternalZip) return PackResult();
  const PackerRow& packer = kPackers[row];
  if (packer.program[0] == '\0') return failure(PackError::kUnknownPlatform);
  if (!lookUp) return PackResult();
  PackResult r;
  if (packer.programPath[0] != '\0') {
    if (!files.open(packer.programPath, platform::File::Mode::kRead)) {
      r = failure(PackError::kNotFound, packer.programPath);
    }
  } else if (findProgram(files, packer.program, searchPath).empty()) {
    r = failure(PackError::kNotFound, packer.program);
  }
  if (r.error != PackError::kNone) r.detail = searchPath;
  return r;
}

bool expandOptions(const std::string& options, const std::string& quotedBase, const std::string& quotedOutput,
                   std::string* expanded) {
  expanded->clear();
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (options[i] != '%') {
      expanded->push_back(options[i]);
      continue;
    }
    const char next = i + 1 < options.size() ? options[++i] : '\0';
    if (next == 'b') {
      *expanded += quotedBase;
    } else if (next == 'p') {
      *expanded += quotedOutput;
    } else if (next == '%') {
      expanded->push_back('%');
    } else {
      return false;
    }
  }
  return true;
}

PackResult packerCommand(platform::FileSystem& files, std::size_t row, const std::string& baseName,
                         const std::string& outputName, const std::string& searchPath) {
  const PackerRow& packer = kPackers[row];
  // Every name from outside goes to the interpreter as one quoted word, so
  // that a patch called "a;rm x" or "a&del x" is a name and not a command.
  // The line stays system text: the command runner gives it to the host.
  bool ok = false;
  const auto quote = [&](const std::string& name, std::string* quoted) {
    *quoted = platform::quoteForShell(platform::hostSeparators(name), &ok);
    return ok;
  };
  std::string program;
  std::string base;
  std::string output;
  if (packer.programPath[0] != '\0') {
    if (!quote(packer.programPath, &program)) return failure(PackError::kUnquotable, packer.programPath);
  } else {
    // Table names and their spellings on disk differ only in letter case:
    // plain words for either interpreter.
    program = findProgram(files, packer.program, searchPath);
    if (program.empty()) program = packer.program;
    program = platform::hostSeparators(program);
  }
  if (!quote(baseName, &base)) return failure(PackError::kUnquotable, baseName);
  if (!quote(outputName, &output)) return failure(PackError::kUnquotable, outputName);
  std::string options;
  if (!expandOptions(packer.options, base, output, &options)) return failure(PackError::kBadOptionFormat);
  PackResult r;
  r.command = program + " " + options;
  const std::string command = r.command + " >" + platform::nullDevice();
  const std::size_t limit = options.size() > kMaxExpandedOptions       ? kMaxExpandedOptions
                            : r.command.size() > kMaxProgramAndOptions ? kMaxProgramAndOptions
                            : command.size() > kMaxCommand             ? kMaxCommand
                                                                       : 0;
  r.command = command;
  if (limit != 0) {
    r.error = PackError::kCommandTooLong;
    r.limit = limit;
  }
  return r;
}

PackResult pack(platform::FileSystem& files, platform::CommandRunner& commands, std::size_t row,
                const std::string& baseName, const std::string& outputName, const std::string& searchPath) {
  const std::string archive = baseName + kPackers[row].extension;
  files.deleteFile(archive);
  PackResult r;
  if (row == kInternalZip) {
    r = zipOutput(files, archive, outputName);
  } else {
    r = packerCommand(files, row, baseName, outputName, searchPath);
    if (r.error == PackError::kNone) commands.run(r.command);
  }
  r.archive = archive;
  if (r.error != PackError::kNone) return r;
  const std::unique_ptr<platform::File> made = files.open(archive, platform::File::Mode::kRead);
  if (!made || !made->size(&r.size)) {
    r.error = PackError::kNoArchive;
    r.name = archive;
  }
  return r;
}

}  // namespace packaging
