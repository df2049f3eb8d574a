#include "builder/options.h"

#include <cctype>
#include <cstdint>
#include <exception>
#include <utility>

#include "builder/autofind.h"
#include "builder/messages.h"
#include "platform/codepage.h"
#include "platform/console.h"

namespace builder {
namespace {

// What the appliers' comment panels show: lines of at most 75 characters,
// at most 10 of them.
constexpr std::size_t kCommentLineLength = 75;
constexpr int kCommentLines = 10;

// Texts reach the messages through a fixed buffer that holds 255 characters.
std::string cut(const std::string& text) { return text.substr(0, kMaxFieldText); }

// A refused word inside the parser; parseWord returns its error.
struct Refused : std::exception {
  explicit Refused(OptionError e) : error(std::move(e)) {}
  const char* what() const noexcept override { return error.en.c_str(); }
  OptionError error;
};

[[noreturn]] void refuse(const std::string& en, const std::string& de, const char* arg = nullptr) {
  OptionError e;
  e.kind = OptionError::Kind::kFatal;
  e.en = cut(en);
  e.de = cut(de);
  e.hasArg = arg != nullptr;
  if (arg != nullptr) e.arg = arg;
  throw Refused(std::move(e));
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool stripPrefix(std::string* text, const char* prefix) {
  const std::string p(prefix);
  if (text->compare(0, p.size(), p) != 0) return false;
  text->erase(0, p.size());
  return true;
}

void stripEquals(std::string* text) { stripPrefix(text, "="); }

bool startsWithNoCase(const std::string& text, const char* prefix) {
  const std::string p(prefix);
  return text.size() >= p.size() && upper(text.substr(0, p.size())) == upper(p);
}

// The start of a long text, for messages that name it (in the console's code page).
std::string shortened(const std::string& text) {
  return platform::cp1252ToCp850(text.size() <= 60 ? text : text.substr(0, 60) + "...");
}

// Names go into fixed fields of at most 255 characters; a longer one would be
// cut into a different name, so it is refused instead.
void requireFieldLength(const std::string& text, char letter) {
  if (text.size() <= kMaxFieldText) return;
  const std::string option = std::string("\"-") + letter + "\"";
  refuse("Error, the text \"" + shortened(text) + "\" given to option " + option + " is longer than 255 characters!",
         "Fehler, der Text \"" + shortened(text) + "\" bei Option " + option + " ist l\x84nger als 255 Zeichen!");
}

[[noreturn]] void noFurtherInformation(char letter) {
  refuse(std::string("Error, no further information for option \"-") + letter + "\" expected!",
         std::string("Fehler, keine weiteren Angaben bei Option \"-") + letter + "\" erwartet!");
}

void requireEmpty(const std::string& rest, char letter) {
  if (!rest.empty()) noFurtherInformation(letter);
}

void appendStateName(TargetOptions* target, const std::string& name) {
  if (name.size() > kMaxFieldText) {
    refuse("Error, the state name \"" + shortened(name) + "\" is longer than 255 characters!",
           "Fehler, der Zustandsname \"" + shortened(name) + "\" ist l\x84nger als 255 Zeichen!");
  }
  if (target->stateNames.size() >= kMaxStatesPerTarget) {
    refuse("Error, a target may have at most 20 states (19 start states and the end state), \"" + shortened(name) +
               "\" would be one more!",
           "Fehler, ein Ziel darf h\x94" "chstens 20 Zust\x84nde haben (19 Startzust\x84nde und "
           "den Endzustand), \"" + shortened(name) + "\" w\x84re einer zu viel!");
  }
  target->stateNames.push_back(name);
}

// "!" and ">" flags in front of a pattern (two passes, each "!" then ">"),
// then one "=". An empty pattern means every file.
struct Flags {
  bool bang = false;
  bool greater = false;
};
Flags stripPatternFlags(std::string* rest) {
  Flags flags;
  for (int pass = 0; pass < 2; ++pass) {
    if (stripPrefix(rest, "!")) flags.bang = true;
    if (stripPrefix(rest, ">")) flags.greater = true;
  }
  stripEquals(rest);
  return flags;
}

// `pattern` as written; its length counts characters, as in a name field.
PatternEntry makePattern(std::string pattern, bool matchFlag, bool exclude, char letter) {
  if (pattern.empty()) pattern = "*";
  requireFieldLength(platform::systemFromUtf8(pattern), letter);
  PatternEntry entry;
  entry.pattern = pattern;
  entry.matchFlag = matchFlag;
  entry.exclude = exclude;
  return entry;
}

void parseIgnore(Options* options, std::string rest) {
  stripPrefix(&rest, "gnore");
  IgnoreEntry entry;
  const std::size_t equals = rest.find('=');
  const std::string flags = rest.substr(0, equals);
  const std::string pattern = equals == std::string::npos ? std::string() : rest.substr(equals + 1);
  bool chosen = false;
  for (char c : flags) {
    if (c >= '1' && c <= '9') {
      entry.inStartState[static_cast<std::size_t>(c - '1')] = true;
      chosen = true;
    } else if (c == 'S' || c == 's') {
      entry.inSources = true;
      chosen = true;
    } else if (c == 'F' || c == 'f' || c == 'E' || c == 'e') {
      entry.inFinal = true;
      chosen = true;
    } else if (c == '!') {
      entry.exclude = true;
    } else if (c == '>') {
      entry.matchFlag = true;
    }
  }
  if (!chosen) entry.inSources = entry.inFinal = true;
  requireFieldLength(platform::systemFromUtf8(pattern), 'i');
  entry.pattern = pattern;
  options->current().ignorePatterns.push_back(entry);
}

void parseComment(Options* options, std::string rest, platform::FileSystem& files) {
  stripPrefix(&rest, "omment");
  stripEquals(&rest);
  if (rest.empty()) return;

  std::string comment;
  std::size_t lineLength = 0;
  int lineBreaks = 0;
  // Only a carriage return ends a line of a comment file: a line feed alone
  // (a file with Unix line ends) joins its lines into one.
  bool lineFeedJoined = false;
  std::string fileName;
  const auto take = [&](char c) {
    comment.push_back(c);
    if (c == '\r') {
      ++lineBreaks;
      lineLength = 0;
      lineFeedJoined = false;
    } else {
      ++lineLength;
    }
    // The line end of the last line is taken; a character after it would begin one more.
    const bool tooManyLines = lineBreaks > kCommentLines || (lineBreaks == kCommentLines && c != '\r');
    if (lineLength <= kCommentLineLength && !tooManyLines) return;
    if (lineFeedJoined && lineLength > kCommentLineLength) {
      refuse("Error, the comment file \"%s\" has LF line ends: only CR LF ends a line there, so its lines run "
             "together beyond 75 characters. Save it with CR LF line ends.",
             "Fehler, die Kommentar-Datei \"%s\" hat LF-Zeilenenden: nur CR LF beendet dort eine Zeile, so laufen "
             "ihre Zeilen \x81" "ber 75 Zeichen zusammen. Speichern Sie sie mit CR-LF-Zeilenenden.",
             fileName.c_str());
    }
    refuse("Error, the comment exceeds the limit of 10 lines of 75 characters.",
           "Fehler, der Kommentar \x81" "berschreitet die Grenze von 10 Zeilen zu 75 Zeichen.");
  };

  if (rest[0] == '@') {
    fileName = rest.substr(1);
    // Read first, check afterwards: a refusal must not leave the file open.
    std::string bytes;
    if (!files.readWholeFile(fileName, &bytes)) {
      refuse("Error, cannot open comment file \"%s\".",
             "Fehler, kann Kommentar-Datei \"%s\" nicht \x94" "ffnen.", fileName.c_str());
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\n') {
        if (i == 0 || bytes[i - 1] != '\r') lineFeedJoined = true;
        continue;
      }
      take(bytes[i]);
    }
  } else {
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size() && rest[i + 1] == 'n') {
        take('\r');
        ++i;
      } else {
        take(rest[i]);
      }
    }
    if (comment.empty() || comment.back() != '\r') comment.push_back('\r');
    comment = comment.substr(0, kMaxFieldText);
  }
  options->commentText = comment;
}

bool packerFromName(const std::string& nameUpper, Packer* packer) {
  static const struct {
    const char* name;
    Packer packer;
  } kPackers[] = {{"INFOZIP", Packer::kInfoZip}, {"PKZIP", Packer::kPkZip}, {"RAR", Packer::kRar},
                  {"GZIP", Packer::kGZip},       {"LHA", Packer::kLha},     {"ARJ", Packer::kArj},
                  {"JAR", Packer::kJar}};
  for (const auto& p : kPackers) {
    if (nameUpper == p.name) {
      *packer = p.packer;
      return true;
    }
  }
  return false;
}

[[noreturn]] void unknownPacker() {
  refuse(
      "Error, only values \"InfoZip\", \"LHA\", \"RAR\", \"GZip\", \"PKZip\", \"ARJ\" or \"JAR\"\n\r"
      "are allowed for options \"-z\" and \"-Z\"!",
      "Fehler, nur die Werte \"InfoZip\", \"LHA\", \"RAR\", \"GZip\", \"PKZip\", \"ARJ\" oder \"JAR\"\n\r"
      "sind f\x81r die Optionen \"-z\" und \"-Z\" zul\x84ssig!");
}

// The refusals of a number option, which differ per option in small ways.
struct NumberTexts {
  const char* notNumberEn;
  const char* notNumberDe;
  const char* rangeEn;
  const char* rangeDe;
};

// Reads a number option that must lie in [lo, hi].
std::int64_t numberOption(std::string rest, std::int64_t lo, std::int64_t hi, const NumberTexts& texts) {
  stripEquals(&rest);
  std::int64_t value = 0;
  if (!readSignedNumber(rest, &value)) refuse(texts.notNumberEn, texts.notNumberDe);
  if (value < lo || value > hi) refuse(texts.rangeEn, texts.rangeDe);
  return value;
}

void newTarget(Options* options, std::string rest) {
  if (!options->patchName.empty()) {
    appendStateName(&options->current(), options->patchName);
    options->patchName.clear();
  }
  stripEquals(&rest);
  patchformat::LocatorKind method = patchformat::kLocateKeep;
  if (startsWithNoCase(rest, "ext")) {
    method = patchformat::kLocateGivenPath;
  } else if (startsWithNoCase(rest, "win")) {
    method = patchformat::kLocateWindowsDir;
  } else if (startsWithNoCase(rest, "sys")) {
    method = patchformat::kLocateSystemDir;
  } else if (!rest.empty()) {
    noFurtherInformation('n');
  }
  if (options->current().nameCount() > 0) {
    options->targets.emplace_back();
  }
  options->current().findMethod = method;
}

// The option being read: its letter and the text after it, in the
// system's code page and as written (what patterns are taken from).
struct Word {
  Options& options;
  platform::FileSystem& files;
  char letter;
  std::string rest;
  std::string written;

  TargetOptions& target() { return options.current(); }
};

void searchLevel(Word& w) {
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.searchLevel = w.letter - '0';
}

void extendedAttributes(Word&) {
  refuse("Error, extended attributes (EA) are OS feature specific for OS/2 platform",
         "Fehler, erweiterte Attribute (EA) sind ein OS spezifisches Feature der OS/2 Plattform");
}

void margin(Word& w) {
  w.options.encoderMargin = static_cast<std::int32_t>(numberOption(
      w.rest, 0, 10000,
      {"Error, option \"-B\" requires numerical parameter!", "Fehler, Option \"-B\" erfordert eine numerische Angabe!",
       "Error, only values 0..10000 are valid for option -B !",
       "Fehler, nur Werte 0..10000 sind zul\x84ssig f\x81r Option -B !"}));
}

void literalBlock(Word& w) {
  w.options.literalBlockSize = static_cast<std::uint16_t>(numberOption(
      w.rest, 10, 255,
      {"Error, option \"-C\" requires numerical parameter!", "Fehler, Option \"-c\" erfordert eine numerische Angabe!",
       "Error, only values 10..255 are valid for option \"-C\" !",
       "Fehler, nur Werte 10..255 sind zul\x84ssig f\x81r Option -C!"}));
}

void removeFile(Word& w) {
  stripEquals(&w.rest);
  stripEquals(&w.written);
  if (w.rest.empty()) {
    refuse("Error, option \"-D\" requires filename parameter!",
           "Fehler, Option \"-D\" erwartet einen Dateinamen als Parameter!");
  }
  // The name goes into the patch in the system's code page, where a lost
  // character would become a '?' and the name another file's, or none.
  if (platform::utf8FromSystem(w.rest) != w.written) {
    const std::string shown = platform::consoleText(w.written);
    refuse("Error, the name \"" + shown + "\" given to option \"-D\" holds characters that Windows' ANSI code page "
               "1252 cannot hold, so no patch can name it!",
           "Fehler, der Name \"" + shown + "\" bei Option \"-D\" enth\x84lt Zeichen, die Windows' ANSI-Codepage 1252 "
               "nicht darstellen kann, daher kann kein Patch ihn nennen!");
  }
  requireFieldLength(w.rest, w.letter);
  w.target().removeFiles.push_back(PatternEntry{w.rest, false, false});
}

void exact(Word& w) {
  stripPrefix(&w.written, "xact");
  const Flags f = stripPatternFlags(&w.written);
  w.target().exactPatterns.push_back(makePattern(w.written, f.bang, f.greater, w.letter));
}

void mismatchGroup(Word& w) {
  w.options.mismatchGroupSize = static_cast<std::uint16_t>(numberOption(
      w.rest, 10, 10000,
      {"Error, option \"-P\" require numerical parameter!", "Fehler, Option \"-P\" erfordert eine numerische Angabe!",
       "Error, only values 10..10000 are valid for option \"-P\" !",
       "Fehler, nur Werte 10..10000 sind zul\x84ssig f\x81r Option \"-P\" !"}));
}

void unusedY(Word& w) {
  stripEquals(&w.rest);
  w.options.unusedY = readLooseNumber(w.rest);
}

// -Z: the packer, unless -z named one already.
void defaultPacker(Word& w) {
  stripEquals(&w.rest);
  if (w.options.packerChosen) return;
  Packer packer;
  if (!packerFromName(upper(w.rest), &packer)) unknownPacker();
  w.options.packer = packer;
}

void hiddenFiles(Word& w) {
  stripPrefix(&w.rest, "ll");
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.includeHidden = true;
}

void backupDirectory(Word& w) {
  stripEquals(&w.rest);
  if (w.rest.empty()) return;
  requireFieldLength(w.rest, w.letter);
  w.target().backupDir = w.rest;
}

void comment(Word& w) { parseComment(&w.options, w.rest, w.files); }

void removePattern(Word& w) {
  stripPrefix(&w.written, "elete");
  const Flags f = stripPatternFlags(&w.written);
  w.target().removePatterns.push_back(makePattern(w.written, f.greater, f.bang, w.letter));
}

void force(Word& w) {
  stripPrefix(&w.written, "orce");
  const Flags f = stripPatternFlags(&w.written);
  if (w.written.empty()) {
    w.options.forceAll = true;
  } else {
    w.target().forcePatterns.push_back(makePattern(w.written, f.bang, f.greater, w.letter));
  }
}

void protection(Word& w) {
  stripEquals(&w.rest);
  if (w.rest.empty()) {
    refuse("Error, no protection info given to option \"-g\"!", "Fehler, keine Info f\x81r Option \"-g\"!");
  }
  w.options.protection.push_back(w.rest);
}

void help(Word& w) {
  stripPrefix(&w.rest, "elp");
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.showUsage = true;
}

void ignore(Word& w) { parseIgnore(&w.options, w.written); }

void noCompression(Word& w) { w.options.internalCompression = false; }

void autofindKey(Word& w) {
  stripPrefix(&w.rest, "ey");
  stripEquals(&w.rest);
  if (w.rest.empty()) {
    refuse("Error, must give a registry key for option \"-k\"!", "Fehler, keine Info f\x81r Option \"-k\"!");
  }
  if (OptionError e = setAutofindKey(&w.target(), w.rest)) throw Refused(std::move(e));
  requireFieldLength(w.target().registryKey, w.letter);
  requireFieldLength(w.target().registryValue, w.letter);
}

void logFile(Word& w) {
  stripPrefix(&w.rest, "og");
  stripPrefix(&w.rest, "file");
  stripEquals(&w.rest);
  w.options.logEnabled = true;
  if (w.rest.empty() || w.rest == "ascii" || w.rest == "txt") {
    w.options.logAsText = true;
  } else if (w.rest == "html") {
    w.options.logAsText = false;
  }
}

void memoryLimit(Word& w) {
  const std::int64_t v = numberOption(
      w.rest, 1, INT64_MAX,
      {"Error, option \"-m\" require numerical parameter!", "Fehler, Option \"-m\" erfordert eine numerische Angabe!",
       "Error, only values larger than \"0\" are valid for option \"-m\"!",
       "Fehler, nur Werte gr\x94\xe1" "er 0 sind zul\x84ssig f\x81r Option \"-m\"!"});
  // Megabytes to bytes, in 64 bits so that large limits do not wrap.
  const std::int64_t kMaxMegabytes = std::int64_t{1} << 42;
  w.options.memoryLimit = (v > kMaxMegabytes ? kMaxMegabytes : v) << 20;
}

void nextTarget(Word& w) { newTarget(&w.options, w.rest); }

void workers(Word& w) {
  w.options.workers = static_cast<int>(numberOption(
      w.rest, 1, kMaxWorkers,
      {"Error, option \"-w\" require numerical parameter!", "Fehler, Option \"-w\" erfordert eine numerische Angabe!",
       "Error, only values from \"1\" to \"64\" are valid for option \"-w\"!",
       "Fehler, nur Werte von 1 bis 64 sind zul\x84ssig f\x81r Option \"-w\"!"}));
}

// Options that take no value and change nothing.
void noValue(Word& w) {
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
}

void quiet(Word& w) {
  stripPrefix(&w.rest, "uiet");
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.quiet = true;
}

void selfReference(Word& w) {
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.selfReference = true;
}

// -V checks the finished patch against the files it was made from (the
// default); -V- leaves the check out.
void verify(Word& w) {
  stripEquals(&w.rest);
  w.options.verify = w.rest != "-";
  if (w.options.verify) requireEmpty(w.rest, w.letter);
}

// -o alone keeps the deflate body that every applier reads; -o=lzma also
// writes the body as one LZMA stream, which only appliers of this version read.
void compact(Word& w) {
  const bool valued = !w.rest.empty() && w.rest[0] == '=';
  stripEquals(&w.rest);
  if (valued && upper(w.rest) == "LZMA") {
    w.options.lzmaBody = true;
  } else if (!w.rest.empty() || valued) {
    refuse("Error, unknown value \"" + shortened(w.rest) + "\" for option \"-o\", only -o=lzma is known!",
           "Fehler, unbekannter Wert \"" + shortened(w.rest) + "\" f\x81r Option \"-o\", nur -o=lzma ist bekannt!");
  }
  w.options.compact = true;
}

void stub(Word& w) {
  stripEquals(&w.rest);
  const std::string value = upper(w.rest);
  Options& o = w.options;
  o.executable = true;
  if (value.empty() || value == "FX" || value == "LOC") {
    o.guiStub = false;
    o.localStub = value == "LOC";
    o.stubPlatform = "Win32";
  } else if (value == "GUI" || value == "GUI32" || value == "GUI16") {
    o.guiStub = true;
    o.localStub = false;
    o.stubPlatform = value == "GUI16" ? "Win16" : "Win32";
  } else {
    noFurtherInformation(w.letter);
  }
}

// A text without one pair of double quotes around it: VERDELIN_OPTS keeps
// the quotes that hold a value with blanks together.
std::string unquoted(const std::string& text) {
  return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
}

// -R=Key=Value: a value of the self-applying program's version resource.
// A later value of the same key replaces the earlier one.
void versionString(Word& w) {
  stripEquals(&w.rest);
  const std::string text = unquoted(w.rest);
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    refuse("Error, option \"-R\" requires a key and a value, as in -R=ProductName=text!",
           "Fehler, Option \"-R\" erwartet einen Schl\x81ssel und einen Wert, etwa -R=ProductName=Text!");
  }
  const std::string key = text.substr(0, equals);
  const std::string value = unquoted(text.substr(equals + 1));
  const packaging::VendorKey* known = nullptr;
  std::string keys;  // "A, B and C"; the German text has "und" for "and"
  for (const packaging::VendorKey& k : packaging::kVendorKeys) {
    if (upper(k.name) == upper(key)) known = &k;
    keys += keys.empty() ? "" : &k == &packaging::kVendorKeys.back() ? " and " : ", ";
    keys += k.name;
  }
  if (known == nullptr) {
    const std::string shown = shortened(key);
    std::string keysDe = keys;
    keysDe.replace(keysDe.rfind(" and "), 5, " und ");
    refuse("Error, unknown key \"" + shown + "\" for option \"-R\", known are " + keys + "!",
           "Fehler, unbekannter Schl\x81ssel \"" + shown + "\" bei Option \"-R\", bekannt sind " + keysDe + "!");
  }
  if (value.size() > known->maxLength) {
    const std::string shown = shortened(value);
    const std::string limit = std::to_string(known->maxLength);
    refuse("Error, the value \"" + shown + "\" of \"" + known->name + "\" given to option \"-R\" is longer than " +
               limit + " characters!",
           "Fehler, der Wert \"" + shown + "\" von \"" + known->name + "\" bei Option \"-R\" ist l\x84nger als " +
               limit + " Zeichen!");
  }
  std::vector<packaging::VersionString>& strings = w.options.versionStrings;
  for (packaging::VersionString& s : strings) {
    if (s.key == known->name) {
      s.value = value;
      return;
    }
  }
  strings.push_back({known->name, value});
}

void dates(Word& w) {
  stripPrefix(&w.rest, "ime");
  stripEquals(&w.rest);
  const std::string& r = w.rest;
  if (r == "last" || r == "latest" || r == "l") {
    w.options.dateMode = DateMode::kLatest;
  } else if (r == "now" || r == "current" || r == "c" || r == "n") {
    w.options.dateMode = DateMode::kNow;
  } else {
    const std::string shown = platform::cp1252ToCp850(r);
    refuse("Unknown \"-time=\" option value \"" + shown + "\"!", "Unbekannter \"-time=\" Wert \"" + shown + "\"!");
  }
}

void unimportant(Word& w) {
  stripPrefix(&w.written, "nimportant");
  const Flags f = stripPatternFlags(&w.written);
  w.target().unimportantPatterns.push_back(makePattern(w.written, f.bang, false, w.letter));
}

// -v: the version is the banner already shown; the run ends as after an error.
void version(Word& w) {
  stripPrefix(&w.rest, "ersion");
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  refuse("", "");
}

void packAfterwards(Word& w) {
  stripEquals(&w.rest);
  requireEmpty(w.rest, w.letter);
  w.options.packAfterwards = true;
}

void engineHint(Word& w) {
  stripEquals(&w.rest);
  w.options.engineHint = readLooseNumber(w.rest);
}

// -z: pack afterwards, with the packer it names.
void pack(Word& w) {
  stripEquals(&w.rest);
  w.options.packAfterwards = true;
  w.options.packOptionGiven = true;
  if (w.rest.empty()) return;
  Packer packer;
  if (!packerFromName(upper(w.rest), &packer)) unknownPacker();
  w.options.packer = packer;
  w.options.packerChosen = true;
}

using Handler = void (*)(Word&);

// Option letters (case matters) and what handles them.
const struct {
  const char* letters;
  Handler handle;
} kHandlers[] = {
    {"0123456789", searchLevel}, {"A", extendedAttributes}, {"B", margin},       {"C", literalBlock},
    {"D", removeFile},           {"eE", exact},             {"P", mismatchGroup}, {"R", versionString},
    {"V", verify},
    {"Y", unusedY},
    {"Z", defaultPacker},        {"a", hiddenFiles},        {"b", backupDirectory}, {"c", comment},
    {"d", removePattern},        {"f", force},              {"g", protection},   {"h", help},
    {"i", ignore},               {"j", noCompression},      {"k", autofindKey},  {"l", logFile},
    {"m", memoryLimit},          {"n", nextTarget},         {"o", compact},            {"p", noValue},      {"q", quiet},
    {"r", selfReference},        {"s", stub},               {"t", dates},        {"u", unimportant},
    {"v", version},              {"w", workers},            {"x", packAfterwards},     {"y", engineHint},   {"z", pack},
};

void parseOption(Options* options, const std::string& word, const std::string& written,
                 platform::FileSystem& files) {
  // The letter and what comes before it are ASCII in both forms.
  Word w{*options, files, word[1], word.substr(2), written.size() > 2 ? written.substr(2) : std::string()};
  for (const auto& h : kHandlers) {
    for (const char* c = h.letters; *c != '\0'; ++c) {
      if (*c == w.letter) return h.handle(w);
    }
  }
  refuse(std::string("Error, unknown option \"-") + w.letter + "\"!",
         std::string("Fehler, unbekannte Option \"-") + w.letter + "\"!");
}

}  // namespace

std::string OptionError::text(bool german) const {
  const std::string& format = german ? de : en;
  return hasArg ? formatMessage(format.c_str(), arg, MsgArg(), kMessageBuffer) : format;
}

void setDefaults(Options* options) {
  *options = Options();
  options->targets.emplace_back();
  options->current().findMethod = patchformat::kLocateGivenPath;
}

OptionError parseWord(Options* options, const std::string& word, bool fromCommandLine,
                      platform::FileSystem& files) {
  return parseWord(options, word, platform::utf8FromSystem(word), fromCommandLine, files);
}

OptionError parseWord(Options* options, const std::string& word, const std::string& written, bool fromCommandLine,
                      platform::FileSystem& files) {
  try {
    if (word.empty()) return OptionError();
    if (word[0] == '-' && word != "-") {
      parseOption(options, word, written, files);
      return OptionError();
    }
    if (!fromCommandLine) {
      const std::string shown = platform::cp1252ToCp850(word);
      refuse("Error, supposed file paramter \"" + shown + "\" may no occur in VERDELIN_OPTS!",
             "Fehler, Dateiparameter \"" + shown + "\" darf nicht in VERDELIN_OPTS auftauchen!");
    }
    if (!options->patchName.empty()) appendStateName(&options->current(), options->patchName);
    options->patchName = word;
    return OptionError();
  } catch (const Refused& refused) {
    return refused.error;
  }
}

OptionError splitOptionsVariable(const std::string& value, std::vector<std::string>* words) {
  words->clear();
  std::size_t characters = 0;
  for (std::size_t i = 0; i < value.size(); i += platform::utf8CharacterLength(value, i)) ++characters;
  if (characters > kMaxOptsVariable) {
    OptionError e;
    e.kind = OptionError::Kind::kFatal;
    e.en = "Error, VERDELIN_OPTS holds more than 999 characters!";
    e.de = "Fehler, VERDELIN_OPTS enth\x84lt mehr als 999 Zeichen!";
    return e;
  }
  std::string word;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ' ' && !quoted) {
      words->push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  words->push_back(word);
  return OptionError();
}

const char* packerName(Packer packer) {
  switch (packer) {
    case Packer::kInfoZip: return "InfoZIP";
    case Packer::kPkZip: return "PkZIP";
    case Packer::kRar: return "RAR";
    case Packer::kGZip: return "GZIP";
    case Packer::kLha: return "LHA";
    case Packer::kArj: return "ARJ";
    case Packer::kJar: return "JAR";
    case Packer::kInternalZip: break;
  }
  return "ZIP";
}

void completeSettings(Options* options) {
  if (options->literalBlockSize < 10 || options->literalBlockSize > 255) options->literalBlockSize = 20;
  if (options->mismatchGroupSize < 10 || options->mismatchGroupSize > 10000) {
    options->mismatchGroupSize = 190;
  }
  const std::string extension = options->executable ? ".exe" : ".utp";
  const std::string& name = options->patchName;
  if (name.size() >= 4 && upper(name.substr(name.size() - 4)) == upper(extension)) {
    options->baseName = name.substr(0, name.size() - 4);
    options->finalName = name;
  } else {
    options->baseName = name;
    options->finalName = name + extension;
  }
  options->patchName = options->finalName;
}

bool readSignedNumber(const std::string& text, std::int64_t* value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  // Values saturate far beyond every valid range instead of wrapping.
  const std::int64_t kCeiling = std::int64_t{1} << 52;
  std::int64_t result = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    result = result * base + digit;
    if (result > kCeiling) result = kCeiling;
  }
  *value = negative ? -result : result;
  return true;
}

std::uint32_t readLooseNumber(const std::string& text) {
  std::string rest = upper(text);
  std::uint32_t base = 10;
  if (stripPrefix(&rest, "$") || stripPrefix(&rest, "0X")) base = 16;
  std::uint32_t result = 0;
  for (char c : rest) {
    if (c >= '0' && c <= '9') {
      result = result * base + static_cast<std::uint32_t>(c - '0');
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      result = result * base + static_cast<std::uint32_t>(c - 'A' + 10);
    }
  }
  return result;
}

}  // namespace builder
