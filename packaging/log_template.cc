#include "packaging/log_template.h"

#include <cctype>
#include <cstring>

#include "packaging/regex.h"
#include "platform/codepage.h"

namespace packaging {

const char kLogMarker[] = "Verdelin Log File";

namespace {

constexpr std::size_t kPathLength = 399;      // of FileLogInfo's paths
constexpr std::size_t kContainerName = 49;    // of a loop variable's name
constexpr std::size_t kPathStep = 99;         // of one step of a path
constexpr std::size_t kFirstLine = 499;       // read of an existing log's first line
const char kHtmlMarkerPrefix[] = "<!DOCTYPE html><!-- ";

// Puts `arg` for the first "%s" and `number` for "%ld" of both texts.
[[noreturn]] void fail(const char* en, const char* de, const std::string& arg = "", long number = 0) {
  const auto format = [&](const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == 's') {
        out += arg;
        ++p;
      } else if (std::strncmp(p, "%ld", 3) == 0) {
        out += std::to_string(number);
        p += 2;
      } else {
        out += *p;
      }
    }
    return out;
  };
  throw LogFailure{format(en), format(de), ""};
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool startsWithText(const char* p, const char* end, const char* word) {
  const std::size_t n = std::strlen(word);
  return static_cast<std::size_t>(end - p) >= n && sameText(std::string(p, n), word);
}

Regex compiled(const std::string& pattern, std::uint32_t options) {
  Regex r;
  std::string error;
  if (!r.compile(pattern, options, &error)) throw LogFailure{error, error, "Regexp problem: " + error + "\n"};
  return r;
}

FileLogInfo cut(FileLogInfo info) {
  info.absolutePath = info.absolutePath.substr(0, kPathLength);
  info.relativePath = info.relativePath.substr(0, kPathLength);
  return info;
}

class Expander {
 public:
  Expander(const std::string& templateText, const LogFacts& facts, bool directoryPatch, std::string* out)
      : template_(templateText), directoryPatch_(directoryPatch), out_(*out) {
    context_.push_back(listOf("LIST_PATCHEDFILES", facts.patched));
    context_.push_back(listOf("LIST_EMBEDDEDFILES", facts.embedded));
    context_.push_back(listOf("LIST_SKIPPEDFILES", facts.skipped));
  }

  void expand(const char* start, std::size_t length);

 private:
  enum class Kind { kList, kFile, kPatchedFile };
  struct Container {
    std::string name;
    Kind kind = Kind::kList;
    Kind element = Kind::kFile;  // of a list
    const std::vector<FileLogInfo>* files = nullptr;
    const std::vector<PatchSerieInfo>* patched = nullptr;
    const FileLogInfo* file = nullptr;      // a file, or a patched file's final file
    const PatchSerieInfo* serie = nullptr;  // a patched file: its sub-context holds LIST_SOURCES
  };
  static Container listOf(const char* name, const std::vector<FileLogInfo>& files) {
    Container c{name, Kind::kList, Kind::kFile};
    c.files = &files;
    return c;
  }
  static Container listOf(const char* name, const std::vector<PatchSerieInfo>& patched) {
    Container c{name, Kind::kList, Kind::kPatchedFile};
    c.patched = &patched;
    return c;
  }

  // A tag pattern anchored at `p`; true with its length and groups.
  bool tag(const Regex& r, const char* p, const char* end, std::size_t* length, std::string* g1 = nullptr,
           std::string* g2 = nullptr) const;
  // From just after an opening tag: where the matching closing tag starts
  // (`end` when there is none) and its length; `nested` opens another level.
  const char* closing(const char* p, const char* end, const char* nested, const Regex& close,
                      std::size_t* closeLength) const;
  Container lookUp(const std::vector<Container>& context, const std::string& path) const;
  void value(const std::string& from, const std::string& name);
  void loop(const std::string& from, const std::string& variable, const char* body, std::size_t length);
  void insert(const std::string& name);

  const std::string& template_;
  const bool directoryPatch_;
  std::string& out_;
  std::vector<Container> context_;
  std::vector<std::string> inserting_;  // the sections being inserted, outermost first
  const Regex if_ = compiled(R"re(<IF\s+FEATURE="(\w+)"\s*>)re", kRegexAnchored);
  const Regex endIf_ = compiled(R"re(</IF\s*>)re", kRegexAnchored);
  const Regex insert_ = compiled(R"re(<LOG\s+Insert="(\w+)"\s*>)re", kRegexAnchored);
  const Regex value_ = compiled(R"re(<VALUE\s+FROM="(\w+)"\s+NAME="(\w+)"\s*>)re", kRegexAnchored);
  const Regex foreach_ = compiled(R"re(<FOREACH\s+FROM="([\w|\:]+)"\s+ITERATE="(\w+)"\s*>)re", kRegexAnchored);
  const Regex endForeach_ = compiled(R"re(</FOREACH\s*>)re", kRegexAnchored);
};

bool Expander::tag(const Regex& r, const char* p, const char* end, std::size_t* length, std::string* g1,
                   std::string* g2) const {
  std::string whole, a, b;
  if (!r.match(Subject(p, static_cast<std::size_t>(end - p)), &whole, &a, &b)) return false;
  *length = whole.size();
  if (g1 != nullptr) *g1 = a;
  if (g2 != nullptr) *g2 = b;
  return true;
}

const char* Expander::closing(const char* p, const char* end, const char* nested, const Regex& close,
                              std::size_t* closeLength) const {
  int depth = 0;
  for (; p < end; ++p) {
    if (*p != '<') continue;
    if (startsWithText(p, end, nested)) {
      ++depth;
    } else if (tag(close, p, end, closeLength)) {
      if (depth == 0) return p;
      --depth;
    }
  }
  *closeLength = 0;
  return end;
}

void Expander::expand(const char* start, std::size_t length) {
  const char* p = start;
  const char* const end = start + length;
  while (p < end) {
    const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
    if (lt == nullptr) lt = end;
    out_.append(p, lt);
    p = lt;
    if (p == end) break;
    std::size_t n = 0;
    std::string a, b;
    if (tag(if_, p, end, &n, &a)) {
      p += n;
      if (!(directoryPatch_ && sameText(a, "DIRPATCH"))) {
        std::size_t closeLength = 0;
        p = closing(p, end, "<IF ", endIf_, &closeLength) + closeLength;
      }
    } else if (tag(endIf_, p, end, &n)) {
      p += n;
    } else if (tag(insert_, p, end, &n, &a)) {
      p += n;
      insert(a);
    } else if (tag(value_, p, end, &n, &a, &b)) {
      p += n;
      value(a, b);
    } else if (tag(foreach_, p, end, &n, &a, &b)) {
      p += n;
      std::size_t closeLength = 0;
      const char* close = closing(p, end, "<FOREACH ", endForeach_, &closeLength);
      loop(a, b, p, static_cast<std::size_t>(close - p));
      p = close + closeLength;
    } else {
      out_ += '<';
      ++p;
    }
  }
}

Expander::Container Expander::lookUp(const std::vector<Container>& context, const std::string& path) const {
  const std::size_t colon = path.find(':');
  const std::string name = path.substr(0, colon);
  if (name.size() > kPathStep) {
    fail("Error, the name \"%s\" in the log file template is longer than %ld characters.",
         "Fehler, der Name \"%s\" in der Logdatei-Vorlage ist l\x84nger als %ld Zeichen.", name,
         static_cast<long>(kPathStep));
  }
  for (const Container& c : context) {
    if (!sameText(c.name, name)) continue;
    if (colon == std::string::npos) return c;
    if (c.kind != Kind::kPatchedFile) fail("Subitem requested for non containers", "Unteritem verlangt f\x81r nicht Beh\x84lter");
    return lookUp({listOf("LIST_SOURCES", c.serie->sources)}, path.substr(colon + 1));
  }
  fail("Error, Cannot find container \"%s\" in current context while creating the log file.",
       "Fehler, kann den Container \"%s\" nicht im aktuellen Kontext finden.", path);
}

void Expander::value(const std::string& from, const std::string& name) {
  const Container c = lookUp(context_, from);
  if (c.kind == Kind::kList) {
    if (!sameText(name, "AMOUNT")) fail("Unknown value \"%s\" requested.", "Unbekannter Wert \"%s\"verlangt", name);
    out_ += std::to_string(c.files != nullptr ? c.files->size() : c.patched->size());
    return;
  }
  // Names are system text (code page 1252); the shipped templates are
  // UTF-8, as the HTML one declares, and so is the log on every platform.
  if (sameText(name, "RELPATH")) {
    out_ += platform::cp1252ToUtf8(c.file->relativePath);
  } else if (sameText(name, "ABSPATH")) {
    out_ += platform::cp1252ToUtf8(c.file->absolutePath);
  } else if (sameText(name, "SIZE")) {
    out_ += std::to_string(c.file->size);
  } else if (sameText(name, "AGE")) {
    out_ += "today";
  } else {
    out_ += "UNKNOWN";
  }
}

void Expander::loop(const std::string& from, const std::string& variable, const char* body, std::size_t length) {
  if (variable.size() > kContainerName) {
    fail("Error, the name \"%s\" in the log file template is longer than %ld characters.",
         "Fehler, der Name \"%s\" in der Logdatei-Vorlage ist l\x84nger als %ld Zeichen.", variable,
         static_cast<long>(kContainerName));
  }
  const Container list = lookUp(context_, from);
  if (list.kind != Kind::kList) {
    fail("Error, \"%s\" is no list and cannot be iterated while creating the log file.",
         "Fehler, \"%s\" ist keine Liste und kann in der Logdatei nicht durchlaufen werden.", from);
  }
  const std::size_t count = list.files != nullptr ? list.files->size() : list.patched->size();
  for (std::size_t i = 0; i < count; ++i) {
    Container element{variable, list.element};
    if (list.files != nullptr) {
      element.file = &(*list.files)[i];
    } else {
      element.serie = &(*list.patched)[i];
      element.file = &element.serie->finalFile;
    }
    context_.push_back(element);
    expand(body, length);
    context_.pop_back();
  }
}

void Expander::insert(const std::string& name) {
  for (const std::string& open : inserting_) {
    // A section that inserts itself, directly or through others, would never end.
    if (sameText(open, name)) {
      fail("Error, log file template section <LOGITEM NAME=\"%s\"> inserts itself.",
           "Fehler, die Logdatei-Sektion <LOGITEM NAME=\"%s\"> f\x81gt sich selbst ein.", name);
    }
  }
  const Regex section = compiled("<LOGITEM\\s+NAME=\"" + name + "\"\\s*>(.*?)</LOGITEM>", 0);
  std::string whole, body;
  if (!section.match(Subject(template_), &whole, &body)) {
    fail("Refering to logfile template section which cannot be found: <LOGITEM NAME=\"%s\"></LOGITEM>",
         "Verweis aus Logdatei-Sektion LOGITEM NAME=\"%s\"></LOGITEM> nicht gefunden.", name);
  }
  inserting_.push_back(name);
  expand(body.data(), body.size());
  inserting_.pop_back();
}

}  // namespace

bool carriesLogMarker(const std::string& firstLine) {
  const std::string prefix = kHtmlMarkerPrefix;
  return firstLine.compare(0, std::strlen(kLogMarker), kLogMarker) == 0 ||
         firstLine.compare(0, prefix.size() + std::strlen(kLogMarker), prefix + kLogMarker) == 0;
}

void expandLog(const std::string& templateText, const LogFacts& facts, bool directoryPatch, std::string* out) {
  const Regex section = compiled("<LOGFILE>(.*?)</LOGFILE>", 0);
  std::string whole, body;
  if (!section.match(Subject(templateText), &whole, &body)) {
    fail("\nError, log file template does not have correct a \"<LOGFILE></LOGFILE>\" section.",
         "\nFehler, Logdatei Vorlage hat kein korrekte \"<LOGFILE></LOGFILE>\" Sektion.");
  }
  Expander(templateText, facts, directoryPatch, out).expand(body.data(), body.size());
}

void requireOwnLog(platform::FileSystem& files, const std::string& logName) {
  if (!files.fileExists(logName)) return;
  std::string firstLine;
  if (const std::unique_ptr<platform::File> old = files.open(logName, platform::File::Mode::kRead)) {
    char buffer[kFirstLine];
    const long got = old->read(buffer, sizeof buffer);
    if (got > 0) firstLine.assign(buffer, static_cast<std::size_t>(got));
    firstLine = firstLine.substr(0, firstLine.find_first_of("\r\n"));
  }
  if (!carriesLogMarker(firstLine)) {
    fail("Error, \"%s\" exists and is no log file of this program: it is left as it is. Remove or rename it,\n"
         "or choose another patch name.",
         "Fehler, \"%s\" existiert und ist keine Logdatei dieses Programms: sie bleibt, wie sie ist. L\x94schen\n"
         "oder umbenennen Sie sie, oder w\x84hlen Sie einen anderen Patchnamen.",
         logName);
  }
}

LogFile::LogFile(platform::FileSystem& files, const std::string& templatePath, const std::string& logName)
    : name_(logName) {
  if (!files.readWholeFile(templatePath, &template_)) {
    fail("Error, cannot finde the log template file \"%s\"\nwhich is required for building a log file!\n",
         "Fehler, kann die Vorlagen-Datei \"%s\"\nnicht finden, die zur Erzeugung einer Logdatei ben\x94tigt wird.\n",
         templatePath);
  }
  requireOwnLog(files, logName);
  file_ = files.open(logName, platform::File::Mode::kCreate);
  if (!file_) fail("Error, cannot create the log file \"%s\"!", "Fehler, kann die Logdatei \"%s\" nicht anlegen!", logName);
}

void LogFile::skipped(const FileLogInfo& file) { facts_.skipped.push_back(cut(file)); }
void LogFile::embedded(const FileLogInfo& file) { facts_.embedded.push_back(cut(file)); }

void LogFile::patched(const std::vector<FileLogInfo>& states) {
  PatchSerieInfo serie;
  for (std::size_t i = 0; i + 1 < states.size(); ++i) serie.sources.push_back(cut(states[i]));
  if (!states.empty()) serie.finalFile = cut(states.back());
  facts_.patched.push_back(std::move(serie));
}

void LogFile::write(bool directoryPatch) {
  if (written_) return;
  written_ = true;
  std::string text;
  const auto store = [&] {
    const bool ok = file_->write(text.data(), text.size()) && file_->close();
    facts_ = LogFacts();
    return ok;
  };
  try {
    expandLog(template_, facts_, directoryPatch, &text);
  } catch (const LogFailure&) {
    store();  // what was expanded until the failure
    throw;
  }
  if (!store()) fail("Error, cannot write the log file \"%s\"!", "Fehler, kann die Logdatei \"%s\" nicht schreiben!", name_);
}

}  // namespace packaging
