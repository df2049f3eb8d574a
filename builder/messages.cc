#include "builder/messages.h"

#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/locations.h"
#include "platform/process.h"

namespace builder {

namespace {

constexpr std::size_t kNoticeBuffer = 255;

const char* const kMessages[kMessageCount] = {
    // 0: usage
    "Usage: kestrune start [start2 start3 ...] end patchname\n"
    "\n"
    "start: Path to file(s) or directories to be updated.\n"
    "end: Path to what the patch file should create from the start states.\n"
    "patchname: Filename of the patch to be generated.\n"
    "\n"
    "-s: Create executable patch. Use -s=gui for a real windows interface.\n"
    "-f: Force patching of identical files instead of skipping them.\n"
    "-z: Automatic packing of created patchfile. Default is internal zip\n"
    "    creation method. Use -z=packer to use installed InfoZip, LHA, RAR,\n"
    "    GZip, PKZip, ARJ, JAR. (See docs on how to change default.)\n"
    "-i: Ignore file patterns. -i=pattern global, -is=pattern in source\n"
    "    states only, -if=pattern final states only. See manual for more.\n"
    "-e: Require files matching -e=pattern in final state to be patched\n"
    "    from identical filenames in source state and disallow other files.\n"
    "-u: Allow file matching -u=pattern to not find sources files therefore\n"
    "    not to be created when applying the patch. Refuse patching normally.\n"
    "-d: Enable automatic cleanup of obsolete files.\n"
    "-w: Threads that examine the files of a directory patch, -w=1 to -w=64.\n"
    "    Default: one per processor core. The patch is the same for any number.\n"
    "-o: Smaller patches: a compact search and encoding of each delta, slower\n"
    "    and with more memory. Applies with every applier. -o=lzma: smaller\n"
    "    still, the patch body as LZMA (format 221, appliers of this version).\n"
    "-V-: No check of the finished patch. By default it is read back and each\n"
    "    delta applied to the start state it was made from.\n"
    "-R: Names for the version resource of an executable patch, given as\n"
    "    -R=ProductName=text, also CompanyName, FileDescription, FileVersion,\n"
    "    ProductVersion, LegalCopyright. a.b.c.d versions set the numbers too.\n",
    "Warp 1: Representing ...     ",
    "Warp 2: Presorting   ...     ",
    "Warp 3: Prepacking   ...     ",
    "Error, packer executable \"%s\" could not be found in path, which is set to:\n%s\n",
    "The 3rd-party product \"%s\" doesn't support long filenames like \"%s\"!",
    "\nError, can't find \"%s\" in directory of the calling\nKestrune, though it's required to "
    "build executeable patchfiles of this type!\n",
    "\nDeleting incomplete patch file \"%s\".",
    "Deleting incomplete log file \"%s\".",
    "Can't create necessary temporary file!",
    "Internal filehandling failure?!",
    "Couldn't access file \"%s\", internal file handling error?!",
    "Couldn't create file \"%s\" for writing!",
    "Error, \"%s\" does not exist or is not a directory. Please note that Verdelin will\npatch "
    "directories into directories or files into files, but a mixture does not make\nsense.\n",
    "Error, can't find file \"%s\"!\n",
    "Error, can't read from existing file \"%s\"!\n",
    "Error, can't open temporary patch file for writing!",
    "\nError, a maximum of one target per patch file may require specifying a target\nby path, "
    "all others must use options \"-n=win\" or \"-n=sys\" or \"-k\" to specify\na find method!\n",
    "Error, EAs are only supported for directory patches, but not for file patches!",
    "Error, Filenames longer than 255 characters not supported!",
    "\n\nError, can't open start file \"%s\" for reading!",
    "\n\nError, cannot open end file \"%s\" for writing!",
    "\n\nError, can't read file \"%s\"!\n",
    "Error, can't write patchinfo into patchfile!",
    "Error, can't open file \"%s\" for embedding!",
    "Error, can't read file \"%s\" to be embedded!",
    "Error, can't access file \"%s\" in directory being scanned!",
    "Error, file \"%s\" identical to all sources,\nuse option \"-f\" to force creating a patch.",
    "Error, the files you gave seem not to match all at. Please remember\nthat Verdelin will not "
    "perform well with (internally) compressed files\nwhich you should uncompress before creating "
    "the patch file. You can force\nthe patching by using option \"-f\" even though.",
    "Error, can't allocate %ld Bytes (%s)!\n",
    "\nError, Warp 2 self-test failed. Please contact us at support@verdelin.example with this "
    "information!\n",
};

}  // namespace

const char* messageText(int n) { return n >= 0 && n < kMessageCount ? kMessages[n] : ""; }

std::string formatMessage(const char* format, MsgArg a, MsgArg b, std::size_t limit) {
  // The formats are the system's own; their conversions match the argument
  // kinds the callers pass (%s for texts, %ld for numbers). Text arguments
  // are names and other system text, shown in the console's code page.
  const std::string textA = a.isNumber() ? std::string() : platform::cp1252ToCp850(a.text());
  const std::string textB = b.isNumber() ? std::string() : platform::cp1252ToCp850(b.text());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  const auto run = [&](char* buffer, std::size_t size) -> int {
    if (a.isNumber() && b.isNumber()) return std::snprintf(buffer, size, format, a.number(), b.number());
    if (a.isNumber()) return std::snprintf(buffer, size, format, a.number(), textB.c_str());
    if (b.isNumber()) return std::snprintf(buffer, size, format, textA.c_str(), b.number());
    return std::snprintf(buffer, size, format, textA.c_str(), textB.c_str());
  };
#pragma GCC diagnostic pop
  const int needed = run(nullptr, 0);
  if (needed <= 0) return std::string();
  std::string out(static_cast<std::size_t>(needed) + 1, '\0');
  run(&out[0], out.size());
  out.resize(static_cast<std::size_t>(needed));
  if (limit > 0 && out.size() > limit - 1) out.resize(limit - 1);
  return out;
}

void fail(std::string text) { throw FatalError(std::move(text)); }

void Output::write(platform::Stream stream, const std::string& text) { console_.write(stream, text); }

void Output::flush(platform::Stream stream) { console_.flush(stream); }

void Output::bilingual(const char* en, const char* de, platform::Stream stream) {
  write(stream, std::string(pick(en, de)) + "\n");
}

void Output::bilingualFormat(const char* en, const char* de, MsgArg a, MsgArg b, platform::Stream stream) {
  write(stream, formatMessage(pick(en, de), a, b));
}

void Output::bilingualFormatLine(const char* en, const char* de, MsgArg a, MsgArg b, platform::Stream stream) {
  write(stream, formatMessage(pick(en, de), a, b) + "\n");
}

void Output::notice(const std::string& en, const std::string& de, const char* arg) {
  const std::string text = pick(en, de).substr(0, kNoticeBuffer);
  write(platform::Stream::kOut, arg != nullptr ? formatMessage(text.c_str(), arg) : text);
}

void Output::numbered(MessageNumber n, MsgArg a, MsgArg b) {
  write(platform::Stream::kOut, formatMessage(messageText(n), a, b));
}

void Output::numberedError(MessageNumber n, MsgArg a, MsgArg b) {
  write(platform::Stream::kErr, formatMessage(messageText(n), a, b));
}

void Output::progress(int phase, long percent) {
  if (percent == 0) {
    write(platform::Stream::kOut, messageText(phase));
    flush(platform::Stream::kOut);
  }
  percentage(percent);
}

void Output::percentage(long percent) {
  write(platform::Stream::kErr, formatMessage("\b\b\b\b%3ld%%", percent));
  flush(platform::Stream::kErr);
}

void Output::failNumbered(MessageNumber n, MsgArg a, MsgArg b) const {
  std::string text = formatMessage(messageText(n), a, b, kMessageBuffer);
  if (n == kBuilderMsgAllocation) throw AllocationFailure(std::move(text));
  fail(std::move(text));
}

void Output::failBilingual(const std::string& en, const std::string& de) const { fail(pick(en, de)); }

void Output::failBilingualFormat(const char* en, const char* de, MsgArg a, MsgArg b) const {
  fail(formatMessage(pick(en, de), a, b, kMessageBuffer));
}

bool winIniSelectsGerman(const std::string& content) {
  // fgets with a 298-byte buffer: a line longer than 297 characters is read
  // in pieces, and each piece is tested as a line of its own.
  static const char kKey[] = "slanguage=de";
  const std::size_t kPiece = 297;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    end = end == std::string::npos ? content.size() : end + 1;
    if (end - start > kPiece) end = start + kPiece;
    if (end - start >= 12) {
      bool match = true;
      for (std::size_t k = 0; k < 12 && match; ++k) {
        char c = content[start + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        match = c == kKey[k];
      }
      if (match) return true;
    }
    start = end;
  }
  return false;
}

bool germanFromWinIni(platform::FileSystem& files) {
  std::string content;
  bool present = false;
  const std::string windir = platform::getEnv("windir", &present);
  if (present && files.readWholeFile(windir + "\\win.ini", &content)) return winIniSelectsGerman(content);
  // Without drive C: (POSIX) the Windows directory is only what "windir" names.
  const std::string usual = platform::usualWindowsDirectory();
  return !usual.empty() && files.readWholeFile(usual + "\\win.ini", &content) && winIniSelectsGerman(content);
}

}  // namespace builder
