// The builder's job description: targets with their states and pattern
// lists, one patch file name, and the global settings. Filled word by word
// from the command line and the environment variable VERDELIN_OPTS.
//
// This module prints nothing: a refused word comes back as an OptionError,
// and the entry decides how the run ends.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "packaging/version_resource.h"
#include "patchformat/container.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace builder {

// Longest text that a name field (state, pattern, key, backup directory) may
// hold: every name in a patch file is a ShortString.
constexpr std::size_t kMaxFieldText = 255;
// States of one target the job can handle: 19 start states and the end state.
constexpr std::size_t kMaxStatesPerTarget = 20;
// Start states an ignore entry can single out (flags "1".."9").
constexpr std::size_t kIgnoreStateSlots = 51;
// Longest VERDELIN_OPTS value taken.
constexpr std::size_t kMaxOptsVariable = 999;

// A pattern is kept as the user wrote it (UTF-8) and matched against names
// as the host spells them (scanning.h), so that no code page changes what
// it matches; the explicit names of -D are system text, as in the patch.
struct PatternEntry {
  std::string pattern;
  bool matchFlag = false;  // handed to the matcher
  bool exclude = false;    // a matching excluding entry vetoes the whole list
};

struct IgnoreEntry : PatternEntry {
  bool inSources = false;  // every start state
  bool inFinal = false;    // the end state
  std::array<bool, kIgnoreStateSlots> inStartState{};  // index 0 = start state 1
};

struct TargetOptions {
  // How the appliers find the target; "-n" without a value gives
  // kLocateKeep: the applier keeps the previous target's paths.
  patchformat::LocatorKind findMethod = patchformat::kLocateGivenPath;
  std::uint32_t rootKey = platform::kHkeyLocalMachine;
  std::string registryKey;    // below rootKey, "\"-separated, no leading "\"
  std::string registryValue;  // empty: the key's default value
  std::string backupDir = "Backup";
  std::vector<PatternEntry> removePatterns;       // -d
  std::vector<PatternEntry> removeFiles;          // -D, explicit names
  std::vector<PatternEntry> forcePatterns;        // -f=pattern
  std::vector<PatternEntry> exactPatterns;        // -e
  std::vector<IgnoreEntry> ignorePatterns;        // -i
  std::vector<PatternEntry> unimportantPatterns;  // -u
  std::vector<std::string> stateNames;            // start states in order, end state last

  std::uint32_t nameCount() const { return static_cast<std::uint32_t>(stateNames.size()); }
};

enum class Packer { kInternalZip, kInfoZip, kPkZip, kRar, kGZip, kLha, kArj, kJar };
enum class DateMode { kFileDate, kLatest, kNow };

constexpr int kMaxWorkers = 64;

struct Options {
  std::vector<TargetOptions> targets;  // the last one is the current target
  std::string patchName;            // pending positional word, finally the patch file name
  int searchLevel = 8;
  std::int32_t encoderMargin = 245;
  std::uint16_t literalBlockSize = 0;    // completed to 20
  std::uint16_t mismatchGroupSize = 0;   // completed to 190
  std::int64_t memoryLimit = 0;          // bytes, 0 = none
  std::uint32_t engineHint = 0;          // -y
  std::uint32_t unusedY = 0;             // -Y: stored, influences nothing
  int workers = 0;                       // -w: threads searching a directory's files; 0 = one per core
  bool selfReference = false;
  bool compact = false;  // -o: the compact search and encoding of each delta
  bool lzmaBody = false; // -o=lzma: the body as one LZMA stream (format version 221)
  bool verify = true;    // -V- turns off the check of the finished patch
  bool internalCompression = true;
  bool includeHidden = false;
  bool forceAll = false;
  bool quiet = false;
  bool showUsage = false;
  DateMode dateMode = DateMode::kFileDate;
  bool logEnabled = false;
  bool logAsText = false;
  bool packAfterwards = false;
  bool packOptionGiven = false;  // -z (not -x alone): the packer is looked for before the job
  Packer packer = Packer::kInternalZip;
  bool packerChosen = false;
  bool executable = false;
  bool guiStub = false;
  bool localStub = false;
  std::string stubPlatform;           // "Win32" or "Win16" once -s is given
  // -R: values for the version resource of the self-applying program, keys
  // spelt as the resource spells them, in the order first given.
  std::vector<packaging::VersionString> versionStrings;
  std::string commentText;            // lines end with CR
  std::vector<std::string> protection;  // -g values: stored, influence nothing
  std::string baseName;
  std::string finalName;

  TargetOptions& current() { return targets.back(); }
};

// Why a word was refused. kFatal ends the run through the error exit (the
// text to the error stream); kRefusal prints the English text to standard
// output and ends with exit code 1. The texts are cut to 255 bytes, as the
// system's message buffer holds; with `arg` they are formats for it.
struct OptionError {
  enum class Kind { kNone, kFatal, kRefusal };
  Kind kind = Kind::kNone;
  std::string en;
  std::string de;
  std::string arg;
  bool hasArg = false;

  explicit operator bool() const { return kind != Kind::kNone; }
  // The text to print in the given language (formatted and cut to the
  // 1500-byte message buffer when it has an argument).
  std::string text(bool german) const;
};

// Defaults of every setting and the first target (found by path).
void setDefaults(Options* options);
// Handles one word (`files` reads a comment file): `word` in the system's
// code page and `written`, the same word as the user wrote it (UTF-8),
// which patterns are taken from. The options keep what the words before a
// refused one gave.
OptionError parseWord(Options* options, const std::string& word, const std::string& written, bool fromCommandLine,
                      platform::FileSystem& files);
// The same for a word of system text alone, written as it reads in UTF-8.
OptionError parseWord(Options* options, const std::string& word, bool fromCommandLine,
                      platform::FileSystem& files);
// Cuts VERDELIN_OPTS into words at blanks outside double quotes; the value
// may hold 999 characters (a UTF-8 sequence is one).
OptionError splitOptionsVariable(const std::string& value, std::vector<std::string>* words);
// Defaults of the tuning values and the patch file names, once all words are read.
void completeSettings(Options* options);

// The packer's name as the packer table spells it ("ZIP" for the internal
// zip creation, "InfoZIP", "RAR", ...).
const char* packerName(Packer packer);

// Number readers: -B, -C, -P and -m take signed numbers in decimal or
// hexadecimal ("$", "x" or "0x" in front); false when the text is not one.
bool readSignedNumber(const std::string& text, std::int64_t* value);
// -y and -Y: "$" or "0x" selects base 16; other characters are skipped.
std::uint32_t readLooseNumber(const std::string& text);

}  // namespace builder
