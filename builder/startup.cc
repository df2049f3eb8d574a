#include "builder/startup.h"

#include <cstdlib>
#include <memory>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "builder/cleanup.h"
#include "builder/job.h"
#include "builder/messages.h"
#include "platform/files.h"
#include "platform/process.h"

namespace builder {

const char* const kBanner =
    "Kestrune 2.2d patching technology - builder of binary patch files\n"
    "Made by the Verdelin developers, support@verdelin.example\n"
    "\n";

namespace {

constexpr std::size_t kStateBlocks = 20;
constexpr std::size_t kStateBlockSize = 1112;

std::vector<void*> g_stateBlocks;

void* zeroedAllocate(std::size_t bytes) { return std::calloc(1, bytes); }

void reportError(const char* en, const char* de, const char* arg) {
  if (arg != nullptr) failBilingualFormat(en, de, arg);
  fatalError(en, de);
}

void reportNotice(const char* en, const char* de, const char* arg) {
  if (arg != nullptr) {
    printBilingualFormat(en, de, arg, MsgArg(), Out::kStdout);
  } else {
    writeConsole(Out::kStdout, germanMode ? de : en);
  }
}

[[noreturn]] void reportStop(const char* text) {
  throw BuilderExit(BuilderExit::Kind::kRefusal, text);
}

void onExit() { cleanupHandler(); }

// The error exit: incomplete output deleted, job cleaned up, text printed.
int errorExit(const std::string& text) {
  discardPatchOutput();
  runJobCleanup();
  writeConsole(Out::kStderr, text + "\n");
  flushConsole(Out::kStderr);
  return 1;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

void describePatterns(std::string* out, const char* label, const std::vector<PatternEntry>& list) {
  for (const PatternEntry& p : list) {
    *out += std::string("  ") + label + " " + quoted(p.pattern) + (p.matchFlag ? " match-flag" : "") +
            (p.exclude ? " exclude" : "") + "\n";
  }
}

}  // namespace

void initStateBlocks(Allocator allocate) {
  releaseStateBlocks();
  for (std::size_t i = 0; i < kStateBlocks; ++i) {
    void* block = allocate(kStateBlockSize);
    if (block == nullptr) failNumbered(29, static_cast<long>(kStateBlockSize), "to initialized the patching engine");
    g_stateBlocks.push_back(block);
  }
}

void releaseStateBlocks() {
  for (void* block : g_stateBlocks) std::free(block);
  g_stateBlocks.clear();
}

std::string programDirectory(const std::string& programPath) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(".*(\\\\|/)"), PCRE2_ZERO_TERMINATED, 0,
                                 &error, &offset, nullptr);
  if (re == nullptr) return std::string();
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(re, nullptr);
  std::string directory;
  const int rc = pcre2_match(re, reinterpret_cast<PCRE2_SPTR>(programPath.data()), programPath.size(), 0, 0,
                             match, nullptr);
  if (rc > 0) {
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match);
    directory = programPath.substr(ovector[0], ovector[1] - ovector[0]);
  }
  pcre2_match_data_free(match);
  pcre2_code_free(re);
  return directory;
}

void readOptions(Options* options, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) parseWord(options, argv[i], true);
  bool present = false;
  const std::string env = platform::getEnv("VERDELIN_OPTS", &present);
  if (present) {
    for (const std::string& word : splitOptionsVariable(env)) parseWord(options, word, false);
  }
  completeSettings(options);
}

std::string describeOptions(const Options& o) {
  static const char* const kPackers[] = {"internal zip", "InfoZip", "PKZip", "RAR", "GZip", "LHA", "ARJ", "JAR"};
  static const char* const kDates[] = {"file date", "latest", "now"};
  std::string out;
  out += "Patch file " + quoted(o.finalName) + ", base name " + quoted(o.baseName) + "\n";
  for (std::size_t t = 0; t < o.targets.size(); ++t) {
    const TargetSpec& target = o.targets[t];
    out += "Target " + std::to_string(t + 1) + ": find method " + std::to_string(target.findMethod) +
           ", backup directory " + quoted(target.backupDir) + "\n";
    if (target.findMethod == kFindRegistry) {
      out += "  registry key " + quoted(target.registryKey) + " value " + quoted(target.registryValue) + "\n";
    }
    for (std::size_t s = 0; s < target.stateNames.size(); ++s) {
      const bool end = s + 1 == target.stateNames.size();
      out += end ? std::string("  end state ") : "  start state " + std::to_string(s + 1) + " ";
      out += quoted(target.stateNames[s]) + "\n";
    }
    describePatterns(&out, "remove", target.removePatterns);
    describePatterns(&out, "remove file", target.removeFiles);
    describePatterns(&out, "force", target.forcePatterns);
    describePatterns(&out, "exact", target.exactPatterns);
    describePatterns(&out, "unimportant", target.unimportantPatterns);
    for (const IgnoreEntry& i : target.ignorePatterns) {
      std::string states;
      for (std::size_t k = 0; k < 9; ++k) {
        if (i.inStartState[k]) states += std::to_string(k + 1);
      }
      out += "  ignore " + quoted(i.pattern) + (i.inSources ? " sources" : "") + (i.inFinal ? " final" : "") +
             (states.empty() ? "" : " states " + states) + (i.matchFlag ? " match-flag" : "") +
             (i.exclude ? " exclude" : "") + "\n";
    }
  }
  out += "Search level " + std::to_string(o.searchLevel) + ", margin " + std::to_string(o.encoderMargin) +
         ", literal block " + std::to_string(o.literalBlockSize) + ", mismatch group " +
         std::to_string(o.mismatchGroupSize) + ", memory limit " + std::to_string(o.memoryLimit) +
         ", engine hint " + std::to_string(o.engineHint) + "\n";
  out += std::string("Self reference ") + (o.selfReference ? "on" : "off") + ", compression " +
         (o.internalCompression ? "on" : "off") + ", hidden files " + (o.includeHidden ? "on" : "off") +
         ", force all " + (o.forceAll ? "on" : "off") + ", quiet " + (o.quiet ? "on" : "off") + ", date " +
         kDates[static_cast<int>(o.dateMode)] + "\n";
  out += std::string("Executable ") + (o.executable ? (o.guiStub ? "gui " : "console ") + o.stubPlatform +
                                                          (o.localStub ? " local" : "")
                                                    : std::string("no")) +
         ", log " + (o.logEnabled ? (o.logAsText ? "text" : "html") : "no") + ", pack " +
         (o.packAfterwards ? "yes" : "no") + " with " + kPackers[static_cast<int>(o.packer)] + "\n";
  if (!o.commentText.empty()) {
    std::string shown;
    for (char c : o.commentText) shown += c == '\r' ? std::string("\\r") : std::string(1, c);
    out += "Comment " + quoted(shown) + "\n";
  }
  return out;
}

int runKestmain(int argc, char** argv) {
  platform::installInterruptHandler(cleanupHandler);
  std::atexit(onExit);
  struct ReleaseStates {
    ~ReleaseStates() { releaseStateBlocks(); }
  } releaseStates;
  try {
    germanMode = germanFromWinIni();
    initStateBlocks(zeroedAllocate);
    setOptionReporters(OptionReporters{reportError, reportNotice, reportStop});
    writeConsole(Out::kStdout, kBanner);

    Options options;
    setDefaults(&options);
    readOptions(&options, argc, argv);
    if ((options.targets.size() == 1 && options.current().nameCount() == 0) || options.showUsage) {
      printNumbered(0);
      flushConsole(Out::kStdout);
      return 1;
    }
    const std::string programDir = programDirectory(platform::programPath());
    (void)programDir;  // stubs and templates lie there

    // Executable patches, log files and archives are follow-ups of the
    // plain patch that this version cannot make yet: it writes the plain
    // patch (as .utp) and says what is missing.
    const bool followUps = options.executable || options.logEnabled || options.packAfterwards;
    if (options.executable) {
      options.finalName = options.baseName + ".utp";
      options.executable = false;
    }
    runJob(options);
    if (followUps) {
      writeConsole(Out::kStderr,
                   "Executable patches (-s), log files (-l) and archives (-x, -z) are not available yet: only the "
                   "plain patch \"" + options.finalName + "\" was written.\n");
      return 1;
    }
    return 0;
  } catch (const BuilderExit& exit) {
    if (exit.kind() == BuilderExit::Kind::kRefusal) {
      writeConsole(Out::kStdout, exit.text() + "\n");
      flushConsole(Out::kStdout);
      return 1;
    }
    return errorExit(exit.text());
  } catch (const diffengine::AllocationFailure& failure) {
    return errorExit(failure.text());
  } catch (const diffengine::FatalError& failure) {
    // The engine's own failures end like a plain exit(1): the exit handler
    // still removes an incomplete patch, with its message.
    writeConsole(Out::kStderr, failure.text() + "\n");
    flushConsole(Out::kStderr);
    return 1;
  }
}

}  // namespace builder
