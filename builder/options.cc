#include "builder/options.h"

#include <cctype>
#include <stdexcept>

#include "builder/autofind.h"
#include "platform/files.h"

namespace builder {
namespace {

OptionReporters g_reporters{};

// Texts reach the reporters through a fixed buffer that holds 255 characters.
std::string cut(const std::string& text) { return text.substr(0, kMaxFieldText); }

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

// The start of a long text, for messages that name it.
std::string shortened(const std::string& text) {
  return text.size() <= 60 ? text : text.substr(0, 60) + "...";
}

// Names go into fixed fields of at most 255 characters; a longer one would be
// cut into a different name, so it is refused instead.
void requireFieldLength(const std::string& text, char letter) {
  if (text.size() <= kMaxFieldText) return;
  const std::string option = std::string("\"-") + letter + "\"";
  optionError("Error, the text \"" + shortened(text) + "\" given to option " + option +
                  " is longer than 255 characters!",
              "Fehler, der Text \"" + shortened(text) + "\" bei Option " + option +
                  " ist l\x84nger als 255 Zeichen!");
}

[[noreturn]] void noFurtherInformation(char letter) {
  optionError(std::string("Error, no further information for option \"-") + letter + "\" expected!",
              std::string("Fehler, keine weiteren Angaben bei Option \"-") + letter + "\" erwartet!");
}

void requireEmpty(const std::string& rest, char letter) {
  if (!rest.empty()) noFurtherInformation(letter);
}

void appendStateName(TargetSpec* target, const std::string& name) {
  if (name.size() > kMaxFieldText) {
    optionError("Error, the state name \"" + shortened(name) + "\" is longer than 255 characters!",
                "Fehler, der Zustandsname \"" + shortened(name) + "\" ist l\x84nger als 255 Zeichen!");
  }
  if (target->stateNames.size() >= kMaxStatesPerTarget) {
    optionError("Error, a target may have at most 20 states (19 start states and the end state), \"" +
                    shortened(name) + "\" would be one more!",
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

PatternEntry makePattern(std::string pattern, bool matchFlag, bool exclude, char letter) {
  if (pattern.empty()) pattern = "*";
  requireFieldLength(pattern, letter);
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
  requireFieldLength(pattern, 'i');
  entry.pattern = pattern;
  options->current().ignorePatterns.push_back(entry);
}

void parseComment(Options* options, std::string rest) {
  stripPrefix(&rest, "omment");
  stripEquals(&rest);
  if (rest.empty()) return;

  std::string comment;
  std::size_t lineLength = 0;
  int lineBreaks = 0;
  const auto take = [&](char c) {
    comment.push_back(c);
    if (c == '\r') {
      ++lineBreaks;
      lineLength = 0;
    } else {
      ++lineLength;
    }
    if (lineLength > 75 || lineBreaks > 9) {
      optionError("Error, the comment exceeds the 76x10 limitation.",
                  "Fehler, der Kommentar \x81" "berschreitet die Grenze von 76x10 Zeichen.");
    }
  };

  if (rest[0] == '@') {
    const std::string fileName = rest.substr(1);
    // Read first, check afterwards: a refusal must not leave the file open.
    std::string bytes;
    if (!platform::readWholeFile(fileName, &bytes)) {
      optionError("Error, cannot open comment file \"%s\".",
                  "Fehler, kann Kommentar-Datei \"%s\" nicht \x94" "ffnen.", fileName.c_str());
    }
    for (char c : bytes) {
      if (c == '\n') continue;
      take(c);
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
  optionError(
      "Error, only values \"InfoZip\", \"LHA\", \"RAR\", \"GZip\", \"PKZip\", \"ARJ\" or \"JAR\"\n\r"
      "are allowed for options \"-z\" and \"-Z\"!",
      "Fehler, nur die Werte \"InfoZip\", \"LHA\", \"RAR\", \"GZip\", \"PKZip\", \"ARJ\" oder \"JAR\"\n\r"
      "sind f\x81r die Optionen \"-z\" und \"-Z\" zul\x84ssig!");
}

// Reads a number option; the messages differ per option in small ways.
std::int64_t numberOption(std::string rest, const std::string& notNumberEn,
                          const std::string& notNumberDe) {
  stripEquals(&rest);
  std::int64_t value = 0;
  if (!readSignedNumber(rest, &value)) optionError(notNumberEn, notNumberDe);
  return value;
}

void newTarget(Options* options, std::string rest) {
  if (!options->patchName.empty()) {
    appendStateName(&options->current(), options->patchName);
    options->patchName.clear();
  }
  stripEquals(&rest);
  std::int32_t method = kFindNone;
  if (startsWithNoCase(rest, "ext")) {
    method = kFindByPath;
  } else if (startsWithNoCase(rest, "win")) {
    method = kFindWindowsDir;
  } else if (startsWithNoCase(rest, "sys")) {
    method = kFindSystemDir;
  } else if (!rest.empty()) {
    noFurtherInformation('n');
  }
  if (options->current().nameCount() > 0) {
    options->targets.emplace_back();
  }
  options->current().findMethod = method;
}

void parseOption(Options* options, const std::string& word) {
  const char letter = word[1];
  std::string rest = word.substr(2);
  TargetSpec& target = options->current();
  switch (letter) {
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->searchLevel = letter - '0';
      return;
    case 'A':
      optionError("Error, extended attributes (EA) are OS feature specific for OS/2 platform",
                  "Fehler, erweiterte Attribute (EA) sind ein OS spezifisches Feature der OS/2 Plattform");
    case 'B': {
      const std::int64_t v = numberOption(rest, "Error, option \"-B\" requires numerical parameter!",
                                          "Fehler, Option \"-B\" erfordert eine numerische Angabe!");
      if (v < 0 || v > 10000) {
        optionError("Error, only values 0..10000 are valid for option -B !",
                    "Fehler, nur Werte 0..10000 sind zul\x84ssig f\x81r Option -B !");
      }
      options->encoderMargin = static_cast<std::int32_t>(v);
      return;
    }
    case 'C': {
      const std::int64_t v = numberOption(rest, "Error, option \"-C\" requires numerical parameter!",
                                          "Fehler, Option \"-c\" erfordert eine numerische Angabe!");
      if (v < 10 || v > 255) {
        optionError("Error, only values 10..255 are valid for option \"-C\" !",
                    "Fehler, nur Werte 10..255 sind zul\x84ssig f\x81r Option -C!");
      }
      options->literalBlockSize = static_cast<std::uint16_t>(v);
      return;
    }
    case 'D':
      stripEquals(&rest);
      if (rest.empty()) {
        optionError("Error, option \"-D\" requires filename parameter!",
                    "Fehler, Option \"-D\" erwartet einen Dateinamen als Parameter!");
      }
      requireFieldLength(rest, letter);
      target.removeFiles.push_back(PatternEntry{rest, false, false});
      return;
    case 'e':
    case 'E': {
      stripPrefix(&rest, "xact");
      const Flags f = stripPatternFlags(&rest);
      target.exactPatterns.push_back(makePattern(rest, f.bang, f.greater, letter));
      return;
    }
    case 'P': {
      const std::int64_t v = numberOption(rest, "Error, option \"-P\" require numerical parameter!",
                                          "Fehler, Option \"-P\" erfordert eine numerische Angabe!");
      if (v < 10 || v > 10000) {
        optionError("Error, only values 10..10000 are valid for option \"-P\" !",
                    "Fehler, nur Werte 10..10000 sind zul\x84ssig f\x81r Option \"-P\" !");
      }
      options->mismatchGroupSize = static_cast<std::uint16_t>(v);
      return;
    }
    case 'Y':
      stripEquals(&rest);
      options->unusedY = readLooseNumber(rest);
      return;
    case 'Z': {
      stripEquals(&rest);
      if (options->packerChosen) return;
      Packer packer;
      if (!packerFromName(upper(rest), &packer)) unknownPacker();
      options->packer = packer;
      return;
    }
    case 'a':
      stripPrefix(&rest, "ll");
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->includeHidden = true;
      return;
    case 'b':
      stripEquals(&rest);
      if (!rest.empty()) {
        requireFieldLength(rest, letter);
        target.backupDir = rest;
      }
      return;
    case 'c':
      parseComment(options, rest);
      return;
    case 'd': {
      stripPrefix(&rest, "elete");
      const Flags f = stripPatternFlags(&rest);
      target.removePatterns.push_back(makePattern(rest, f.greater, f.bang, letter));
      return;
    }
    case 'f': {
      stripPrefix(&rest, "orce");
      const Flags f = stripPatternFlags(&rest);
      if (rest.empty()) {
        options->forceAll = true;
      } else {
        target.forcePatterns.push_back(makePattern(rest, f.bang, f.greater, letter));
      }
      return;
    }
    case 'g':
      stripEquals(&rest);
      if (rest.empty()) {
        optionError("Error, no protection info given to option \"-g\"!",
                    "Fehler, keine Info f\x81r Option \"-g\"!");
      }
      options->protection.push_back(rest);
      return;
    case 'h':
      stripPrefix(&rest, "elp");
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->showUsage = true;
      return;
    case 'i':
      parseIgnore(options, rest);
      return;
    case 'j':
      options->internalCompression = false;
      return;
    case 'k':
      stripPrefix(&rest, "ey");
      stripEquals(&rest);
      if (rest.empty()) {
        optionError("Error, must give a registry key for option \"-k\"!",
                    "Fehler, keine Info f\x81r Option \"-k\"!");
      }
      setAutofindKey(&target, rest);
      requireFieldLength(target.registryKey, letter);
      requireFieldLength(target.registryValue, letter);
      return;
    case 'l':
      stripPrefix(&rest, "og");
      stripPrefix(&rest, "file");
      stripEquals(&rest);
      options->logEnabled = true;
      if (rest.empty() || rest == "ascii" || rest == "txt") {
        options->logAsText = true;
      } else if (rest == "html") {
        options->logAsText = false;
      }
      return;
    case 'm': {
      const std::int64_t v = numberOption(rest, "Error, option \"-m\" require numerical parameter!",
                                          "Fehler, Option \"-m\" erfordert eine numerische Angabe!");
      if (v <= 0) {
        optionError("Error, only values larger than \"0\" are valid for option \"-m\"!",
                    "Fehler, nur Werte gr\x94\xe1" "er 0 sind zul\x84ssig f\x81r Option \"-m\"!");
      }
      // Megabytes to bytes, in 64 bits so that large limits do not wrap.
      const std::int64_t kMaxMegabytes = std::int64_t{1} << 42;
      options->memoryLimit = (v > kMaxMegabytes ? kMaxMegabytes : v) << 20;
      return;
    }
    case 'n':
      newTarget(options, rest);
      return;
    case 'p':
      stripEquals(&rest);
      requireEmpty(rest, letter);
      return;
    case 'q':
      stripPrefix(&rest, "uiet");
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->quiet = true;
      return;
    case 'r':
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->selfReference = true;
      return;
    case 's': {
      stripEquals(&rest);
      const std::string value = upper(rest);
      options->executable = true;
      if (value.empty() || value == "FX") {
        options->guiStub = false;
        options->localStub = false;
        options->stubPlatform = "Win32";
      } else if (value == "LOC") {
        options->guiStub = false;
        options->localStub = true;
        options->stubPlatform = "Win32";
      } else if (value == "GUI" || value == "GUI32") {
        options->guiStub = true;
        options->localStub = false;
        options->stubPlatform = "Win32";
      } else if (value == "GUI16") {
        options->guiStub = true;
        options->localStub = false;
        options->stubPlatform = "Win16";
      } else {
        noFurtherInformation(letter);
      }
      return;
    }
    case 't':
      stripPrefix(&rest, "ime");
      stripEquals(&rest);
      if (rest == "last" || rest == "latest" || rest == "l") {
        options->dateMode = DateMode::kLatest;
      } else if (rest == "now" || rest == "current" || rest == "c" || rest == "n") {
        options->dateMode = DateMode::kNow;
      } else {
        optionError("Unknown \"-time=\" option value \"" + rest + "\"!",
                    "Unbekannter \"-time=\" Wert \"" + rest + "\"!");
      }
      return;
    case 'u': {
      stripPrefix(&rest, "nimportant");
      const Flags f = stripPatternFlags(&rest);
      target.unimportantPatterns.push_back(makePattern(rest, f.bang, false, letter));
      return;
    }
    case 'v':
      stripPrefix(&rest, "ersion");
      stripEquals(&rest);
      requireEmpty(rest, letter);
      optionError("", "");
    case 'x':
      stripEquals(&rest);
      requireEmpty(rest, letter);
      options->packAfterwards = true;
      return;
    case 'y':
      stripEquals(&rest);
      options->engineHint = readLooseNumber(rest);
      return;
    case 'z': {
      stripEquals(&rest);
      options->packAfterwards = true;
      if (rest.empty()) return;
      Packer packer;
      if (!packerFromName(upper(rest), &packer)) unknownPacker();
      options->packer = packer;
      options->packerChosen = true;
      return;
    }
    default:
      optionError(std::string("Error, unknown option \"-") + letter + "\"!",
                  std::string("Fehler, unbekannte Option \"-") + letter + "\"!");
  }
}

}  // namespace

void setOptionReporters(const OptionReporters& reporters) { g_reporters = reporters; }
const OptionReporters& optionReporters() { return g_reporters; }

void optionError(const std::string& en, const std::string& de, const char* arg) {
  if (g_reporters.error != nullptr) g_reporters.error(cut(en).c_str(), cut(de).c_str(), arg);
  throw std::logic_error("option error reporter returned: " + en);
}

void optionNotice(const std::string& en, const std::string& de, const char* arg) {
  if (g_reporters.notice != nullptr) g_reporters.notice(cut(en).c_str(), cut(de).c_str(), arg);
}

void optionStop(const std::string& text) {
  if (g_reporters.stop != nullptr) g_reporters.stop(text.c_str());
  throw std::logic_error("option stop reporter returned: " + text);
}

void setDefaults(Options* options) {
  *options = Options();
  options->targets.emplace_back();
  options->current().findMethod = kFindByPath;
}

void parseWord(Options* options, const std::string& word, bool fromCommandLine) {
  if (word.empty()) return;
  if (word[0] != '-' || word == "-") {
    if (!fromCommandLine) {
      optionError("Error, supposed file paramter \"" + word + "\" may no occur in VERDELIN_OPTS!",
                  "Fehler, Dateiparameter \"" + word + "\" darf nicht in VERDELIN_OPTS auftauchen!");
    }
    if (!options->patchName.empty()) appendStateName(&options->current(), options->patchName);
    options->patchName = word;
    return;
  }
  parseOption(options, word);
}

std::vector<std::string> splitOptionsVariable(const std::string& value) {
  if (value.size() > kMaxOptsVariable) {
    optionError("Error, VERDELIN_OPTS holds more than 999 characters!",
                "Fehler, VERDELIN_OPTS enth\x84lt mehr als 999 Zeichen!");
  }
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ' ' && !quoted) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  words.push_back(word);
  return words;
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
