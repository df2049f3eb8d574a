#include "builder/scanning.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

#include "builder/recording_console.h"
#include "patchformat/container.h"
#include "patchformat/crc.h"
#include "platform/codepage.h"
#include "platform/console.h"
#include "platform/files.h"

namespace builder {
namespace {

constexpr std::size_t kReadPiece = 65536;  // large pieces: fewer system calls, the same counts

bool isSeparator(char c) { return c == '\\' || c == '/'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// The whole of name[n..] against pattern[p..], both UTF-8: "?" is one
// character and "*" any run of them, neither crossing a separator; a byte
// that is no part of UTF-8 is a character of its own. Other characters
// match themselves, byte for byte.
bool matchFrom(const std::string& name, std::size_t n, const std::string& pattern, std::size_t p) {
  while (p < pattern.size()) {
    const char c = pattern[p];
    if (c == '*') {
      for (std::size_t k = n;; k += platform::utf8CharacterLength(name, k)) {
        if (matchFrom(name, k, pattern, p + 1)) return true;
        if (k == name.size() || isSeparator(name[k])) return false;
      }
    }
    if (n == name.size()) return false;
    if (c == '?') {
      if (isSeparator(name[n])) return false;
      n += platform::utf8CharacterLength(name, n);
    } else if (lower(c) != lower(name[n])) {
      return false;
    } else {
      ++n;
    }
    ++p;
  }
  return n == name.size();
}

std::string joinPath(const std::string& head, const std::string& name) {
  if (head.empty()) return name;
  return isSeparator(head.back()) ? head + name : head + "\\" + name;
}

// Hands every file the walk of `dir` takes to `take` (its full and relative
// name, the relative name as written, and what its status said), with the
// notices of what it leaves out unless the context is quiet.
using Take = std::function<void(const std::string& full, const std::string& relative, const std::string& written,
                                const platform::FileStatus& status)>;
void walkDirectory(const DirectoryStream& stream, const std::string& dir, const std::string& prefix,
                   const std::string& writtenPrefix, const ScanContext& context, const Take& take) {
  std::vector<std::string> names, writtenNames;
  // A directory that cannot be read is no empty directory: read as one, its
  // files would become embedded or obsolete files of the patch.
  if (!context.files.listDirectory(dir, &names, &writtenNames)) {
    context.out.failNumbered(kBuilderMsgCannotAccessScanned, dir);
  }
  // Systems list entries in different orders (the order decides the order
  // of records and the winner of equal scores): names are taken in one
  // order everywhere, letters without regard to case first, so that the
  // same trees give the same patch on every platform.
  std::vector<std::size_t> order(names.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&names](std::size_t x, std::size_t y) {
    const std::string& a = names[x];
    const std::string& b = names[y];
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (lower(a[i]) != lower(b[i])) return static_cast<unsigned char>(lower(a[i])) < static_cast<unsigned char>(lower(b[i]));
    }
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  for (const std::size_t i : order) {
    const std::string& name = names[i];
    const std::string full = joinPath(dir, name);
    const std::string relative = joinPath(prefix, name);
    const std::string written = joinPath(writtenPrefix, writtenNames[i]);
    platform::FileStatus status;
    // A '?' stands for a character the code page lacks (platform/codepage.h):
    // no call reaches such an entry, and it is taken as a plain file, which
    // refuseUnfitFiles refuses unless it is ignored.
    const bool unreachable = name.find('?') != std::string::npos;
    if (!unreachable && !context.files.fileStatus(full, &status)) {
      context.out.failNumbered(kBuilderMsgCannotAccessScanned, full);
    }
    if (!context.includeHidden && (status.attributes & platform::kAttributeHidden)) continue;
    if (status.isDirectory) {
      // A link may lead back above itself: walks never follow one.
      if (status.isLink) {
        if (!context.quiet) {
          const std::string shown = platform::cp1252ToCp850(full);
          context.out.notice("Link \"" + shown + "\" to a directory skipped.\n",
                       "Verkn\x81pfung \"" + shown + "\" auf ein Verzeichnis \x81" "bersprungen.\n");
        }
        continue;
      }
      walkDirectory(stream, full, relative, written, context, take);
      continue;
    }
    if (isIgnored(full, written, stream.isEnd, stream.index, context)) continue;
    take(full, relative, written, status);
  }
}

}  // namespace

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string nameKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = lower(c);
  return key;
}

std::unique_ptr<FileEntry> scanFile(const std::string& fullPath, const std::string& relativePath,
                                    const ScanContext& context) {
  auto entry = std::make_unique<FileEntry>();
  entry->fullPath = fullPath;
  entry->relativePath = relativePath;
  entry->writtenPath = platform::utf8FromSystem(relativePath);
  platform::FileStatus status;
  std::unique_ptr<platform::File> file;
  if (!context.files.fileStatus(fullPath, &status) ||
      !(file = context.files.open(fullPath, platform::File::Mode::kRead))) {
    context.out.failNumbered(kBuilderMsgCannotAccessScanned, fullPath);
  }
  if (!patchformat::fitsFormat(status.size)) refuseTooLarge(context.out, fullPath, status.size);
  entry->attributes = status.attributes;
  entry->date = status.dosDateTime;
  if (context.latestDate != nullptr && entry->date > *context.latestDate) *context.latestDate = entry->date;
  std::uint32_t crc = patchformat::kCrcStart;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> buffer(kReadPiece);
  std::uint8_t* piece = buffer.data();
  // Four tables let neighbouring equal bytes count without waiting on each other.
  std::uint32_t counts[4][256] = {};
  for (;;) {
    const long n = file->read(piece, kReadPiece);
    if (n < 0) context.out.failNumbered(kBuilderMsgCannotAccessScanned, fullPath);
    if (n == 0) break;
    long i = 0;
    for (; i + 4 <= n; i += 4) {
      ++counts[0][piece[i]];
      ++counts[1][piece[i + 1]];
      ++counts[2][piece[i + 2]];
      ++counts[3][piece[i + 3]];
    }
    for (; i < n; ++i) ++counts[0][piece[i]];
    crc = patchformat::crc32_noinv(crc, piece, static_cast<std::size_t>(n));
    size += static_cast<std::uint64_t>(n);
  }
  for (int v = 0; v < 256; ++v) entry->byteCounts[v] = counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v];
  // A file that grew while it was read is refused as well.
  if (!patchformat::fitsFormat(size)) refuseTooLarge(context.out, fullPath, size);
  entry->size = patchformat::formatSize(size);
  entry->checksum = crc;
  for (int v = 0; v < 256; ++v) {
    entry->byteShares[v] = size == 0 ? 0.0 : static_cast<double>(entry->byteCounts[v]) / static_cast<double>(size);
  }
  return entry;
}

void walkState(DirectoryStream& stream, const ScanContext& context) {
  // The job checked that the root is there: a status that cannot be read
  // now must not turn a directory into a file.
  platform::FileStatus status;
  if (!context.files.fileStatus(stream.rootPath, &status)) {
    context.out.failNumbered(kBuilderMsgCannotAccessScanned, stream.rootPath);
  }
  stream.isDirectory = status.isDirectory;
  if (!stream.isDirectory) return;
  walkDirectory(stream, stream.rootPath, "", "", context,
                [&](const std::string& full, const std::string& relative, const std::string& written,
                    const platform::FileStatus&) {
    stream.entries.push_back(scanFile(full, relative, context));
    stream.entries.back()->writtenPath = written;
    stream.totalBytes += stream.entries.back()->size;
  });
}

void walkStates(std::vector<std::unique_ptr<DirectoryStream>>& streams, const ScanContext& c, int threads) {
  if (threads == 1 || streams.size() < 2) {
    for (const auto& s : streams) walkState(*s, c);
    return;
  }
  struct Walk {
    RecordingConsole console;
    std::uint32_t latestDate = 0;
    std::exception_ptr failure;
  };
  std::vector<Walk> walks(streams.size());
  const auto walk = [&](std::size_t k) {
    Walk& w = walks[k];
    Output out(w.console);
    out.setGerman(c.out.german());
    ScanContext own(c.files, out);
    own.target = c.target;
    own.includeHidden = c.includeHidden;
    own.quiet = c.quiet;
    own.latestDate = &w.latestDate;
    try {
      walkState(*streams[k], own);
    } catch (...) {
      w.failure = std::current_exception();
    }
  };
  std::vector<std::thread> running;
  for (std::size_t k = 0; k < streams.size(); ++k) {
    try {
      running.emplace_back(walk, k);
    } catch (const std::system_error&) {
      walk(k);  // no thread to be had: this state is read on the caller's own
    }
  }
  for (std::thread& t : running) t.join();
  for (Walk& w : walks) {
    replay(w.console.events, c.out);
    if (w.failure) std::rethrow_exception(w.failure);
    if (c.latestDate != nullptr && w.latestDate > *c.latestDate) *c.latestDate = w.latestDate;
  }
}

void refuseTooLarge(const Output& out, const std::string& path, std::uint64_t size) {
  out.failBilingualFormat("Error, \"%s\" has %s Bytes: a patch file holds files of at most 4294967295 Bytes "
                          "(4 GiB - 1).",
                          "Fehler, \"%s\" hat %s Bytes: eine Patchdatei nimmt Dateien von h\x94" "chstens "
                          "4294967295 Bytes (4 GiB - 1) auf.",
                          path, std::to_string(size));
}

namespace {

// The refusal of the file `full`, whose name the code page cannot hold.
// The way out it names is an -i pattern for `written`, its relative name as
// written, anchored at the root and as the console shows it (what a user
// would type back), when that pattern leaves out no other of the names the
// target's walks `took`; the same name in another state is the same file.
[[noreturn]] void refuseUnnamable(const Output& out, const std::string& full, const std::string& written,
                                  const std::vector<std::string>& took) {
  const std::string pattern = platform::shownOnConsole("\\" + written);
  // It goes between quotes, so it must hold none.
  const bool alone = pattern.find('"') == std::string::npos &&
                     std::none_of(took.begin(), took.end(), [&](const std::string& other) {
                       return !sameName(other, written) && matchesPattern(other, pattern);
                     });
  const std::string shown = "-i=\"" + platform::consoleText(pattern) + "\"";
  const std::string en = formatMessage("Error, the name of \"%s\" holds characters that Windows' ANSI code page "
                                       "1252 cannot hold,\nso no patch can name it. Rename it, or leave it out with ",
                                       full, MsgArg(), kMessageBuffer) +
                         (alone ? shown + "." : std::string("-i and a pattern that matches no other file."));
  const std::string de = formatMessage("Fehler, der Name von \"%s\" enth\x84lt Zeichen, die Windows' ANSI-Codepage "
                                       "1252 nicht darstellen\nkann, daher kann kein Patch ihn nennen. Benennen Sie "
                                       "ihn um, oder lassen Sie ihn mit ",
                                       full, MsgArg(), kMessageBuffer) +
                         (alone ? shown + " aus." : std::string("-i und einem Muster aus, das keine andere Datei "
                                                                "trifft."));
  out.failBilingual(en, de);
}

}  // namespace

void refuseUnfitFiles(const TargetOptions& target, const ScanContext& context) {
  ScanContext silent = context;  // the real walk tells what it leaves out
  silent.quiet = true;
  // The first file that no patch can name is refused once every walk has
  // told which names a pattern for it must not match.
  std::string unnamable, unnamableWritten;
  std::vector<std::string> took;
  const std::uint32_t n = target.nameCount();
  for (std::uint32_t k = 0; k < n; ++k) {
    DirectoryStream stream;
    stream.rootPath = target.stateNames[k];
    stream.index = k;
    stream.isEnd = k + 1 == n;
    platform::FileStatus status;
    if (!context.files.isDirectory(stream.rootPath)) {
      // A state that is one file: the job tells when it is missing.
      if (context.files.fileStatus(stream.rootPath, &status) && !patchformat::fitsFormat(status.size)) {
        refuseTooLarge(context.out, stream.rootPath, status.size);
      }
      continue;
    }
    walkDirectory(stream, stream.rootPath, "", "", silent,
                  [&](const std::string& full, const std::string& relative, const std::string& written,
                      const platform::FileStatus& status) {
      took.push_back(written);
      if (!unnamable.empty()) return;
      if (relative.find('?') != std::string::npos) {
        unnamable = full;
        unnamableWritten = written;
      }
      if (!patchformat::fitsFormat(status.size)) refuseTooLarge(context.out, full, status.size);
    });
  }
  if (!unnamable.empty()) refuseUnnamable(context.out, unnamable, unnamableWritten, took);
}

bool matchesPattern(const std::string& name, const std::string& pattern) {
  // Relative names never begin with a separator: a pattern that does is
  // anchored at the state's root.
  if (!pattern.empty() && isSeparator(pattern[0])) return matchFrom(name, 0, pattern, 1);
  if (matchFrom(name, 0, pattern, 0)) return true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (isSeparator(name[i]) && matchFrom(name, i + 1, pattern, 0)) return true;
  }
  return false;
}

bool inList(const std::string& name, const std::vector<PatternEntry>& list) {
  bool matched = false;
  for (const PatternEntry& e : list) {
    if (!matchesPattern(name, e.pattern)) continue;
    if (e.exclude) return false;
    matched = true;
  }
  return matched;
}

const PatternEntry* removePatternFor(const std::string& name, const TargetOptions& target) {
  for (const PatternEntry& e : target.removePatterns) {
    if (!matchesPattern(name, e.pattern)) continue;
    return e.exclude ? nullptr : &e;
  }
  return nullptr;
}

bool isIgnored(const std::string& displayName, const std::string& name, bool isEnd, std::uint32_t stateIndex,
               const ScanContext& context) {
  const IgnoreEntry* first = nullptr;
  for (const IgnoreEntry& e : context.target->ignorePatterns) {
    const bool applies = isEnd ? e.inFinal
                               : e.inSources || (stateIndex < e.inStartState.size() && e.inStartState[stateIndex]);
    if (!applies || !matchesPattern(name, e.pattern)) continue;
    if (e.exclude) return false;
    if (first == nullptr) first = &e;
  }
  if (first == nullptr) return false;
  if (!context.quiet) {
    const std::string name = platform::cp1252ToCp850(displayName);
    const std::string pattern = platform::consoleText(first->pattern);
    context.out.notice("File \"" + name + "\" ignored due to pattern \"" + pattern + "\".\r\n",
                 "Datei \"" + name + "\" wurde aufgrund des Musters \"" + pattern + "\" ignoriert.\r\n");
  }
  return true;
}

bool identical(const FileEntry& a, const FileEntry& b) {
  return a.size == b.size && a.checksum == b.checksum && a.byteCounts == b.byteCounts;
}

double similarity(const FileEntry& a, const FileEntry& b) {
  if (identical(a, b)) return 1.0;
  if (b.size < 200) return 0.0;
  double d = 0.0;
  for (int v = 0; v < 256; ++v) {
    const double x = a.byteShares[v] - b.byteShares[v];
    d += x * x;
  }
  double s = 1.0 - d;
  if (s < 0) return 0.0;
  for (int v = 0; v < 256; ++v) {
    if ((a.byteCounts[v] == 0) != (b.byteCounts[v] == 0)) s -= 0.01;
  }
  return s < 0 ? 0.0 : s;
}

double ChainSearch::chainScore(DirectoryStream& stream, const FileEntry& target, std::size_t depth, bool exactOnly) {
  const FileEntry* candidate = nullptr;
  double best = 0.0;
  for (const auto& e : stream.entries) {
    if (!sameName(e->relativePath, target.relativePath)) continue;
    const double s = similarity(target, *e);
    if (s > 0.9) {
      candidate = e.get();
      best = s;
    }
    break;
  }
  if (!exactOnly) {
    for (const auto& e : stream.entries) {
      const double s = similarity(target, *e);
      if (s > best) {
        candidate = e.get();
        best = s;
      }
    }
  }
  if (candidate == nullptr) return 0.0;
  stream.visited = true;
  bool tried = false;
  double deeper = 0.0;
  // The deeper part of the chain that scored best, not the last one tried:
  // a chain is written as scored, so that identical states end up side by
  // side (their factor is 1) and share one step.
  Chain bestTail{};
  if (depth + 1 < kChainSlots - 1) {
    for (DirectoryStream* next : streams_) {
      if (next->visited) continue;
      const double s = chainScore(*next, *candidate, depth + 1, exactOnly);
      if (!tried || s > deeper) {
        deeper = s;
        std::copy(chain_.begin() + depth + 1, chain_.end(), bestTail.begin() + depth + 1);
      }
      tried = true;
    }
  }
  stream.visited = false;
  std::copy(bestTail.begin() + depth + 1, bestTail.end(), chain_.begin() + depth + 1);
  chain_[depth] = candidate;
  return tried ? best * deeper : best;
}

bool ChainSearch::search(const FileEntry& end, bool exactOnly) {
  chain_.fill(nullptr);
  best_.fill(nullptr);
  chain_[0] = &end;
  bestScore_ = 0.0;
  for (DirectoryStream* stream : streams_) {
    const double score = chainScore(*stream, end, 1, exactOnly);
    if (score > bestScore_) {
      bestScore_ = score;
      best_ = chain_;
    }
  }
  return bestScore_ > 0.0;
}

std::vector<const FileEntry*> ChainSearch::bestChain() const {
  std::vector<const FileEntry*> out;
  for (const FileEntry* e : best_) {
    if (e == nullptr) break;
    out.push_back(e);
  }
  return out;
}

std::vector<const FileEntry*> reduceChain(const std::vector<const FileEntry*>& chain, bool sameNameOnly,
                                          bool forceAll, const std::vector<PatternEntry>* forcePatterns) {
  std::vector<const FileEntry*> kept;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const bool last = i + 1 == chain.size();
    if (!last) {
      const FileEntry& entry = *chain[i];
      const FileEntry& successor = *chain[i + 1];
      const bool dropable = identical(entry, successor) &&
                            (!sameNameOnly || sameName(entry.relativePath, successor.relativePath));
      const bool forced = forceAll || (forcePatterns != nullptr && inList(entry.writtenPath, *forcePatterns));
      if (dropable && !(forced && kept.empty() && i + 2 == chain.size())) continue;
    }
    kept.push_back(chain[i]);
  }
  return kept;
}

}  // namespace builder
