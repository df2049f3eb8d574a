#include "builder/startup.h"

#include <cstdlib>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "builder/cleanup.h"
#include "builder/context.h"
#include "builder/job.h"
#include "builder/messages.h"
#include "platform/process.h"

namespace builder {

const char* const kBanner =
    "Kestrune 2.2d patching technology - builder of binary patch files\n"
    "Made by the Verdelin developers, support@verdelin.example\n"
    "\n";

namespace {

void onExit() { cleanupHandler(); }

// The error exit: an incomplete patch deleted, the text printed.
int errorExit(Context& context, const std::string& text) {
  context.discardPatch();
  context.out.write(Out::kStderr, text + "\n");
  context.out.flush(Out::kStderr);
  return 1;
}

}  // namespace

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

OptionError readOptions(Options* options, int argc, char** argv, platform::FileSystem& files) {
  for (int i = 1; i < argc; ++i) {
    if (OptionError e = parseWord(options, argv[i], true, files)) return e;
  }
  bool present = false;
  const std::string env = platform::getEnv("VERDELIN_OPTS", &present);
  if (present) {
    std::vector<std::string> words;
    if (OptionError e = splitOptionsVariable(env, &words)) return e;
    for (const std::string& word : words) {
      if (OptionError e = parseWord(options, word, false, files)) return e;
    }
  }
  completeSettings(options);
  return OptionError();
}

int runKestmain(int argc, char** argv, platform::Machine& machine) {
  platform::installInterruptHandler(cleanupHandler);
  std::atexit(onExit);
  Context context(machine);
  Output& out = context.out;
  try {
    out.setGerman(germanFromWinIni(context.files));
    out.write(Out::kStdout, kBanner);

    Options options;
    setDefaults(&options);
    const OptionError refused = readOptions(&options, argc, argv, context.files);
    if (refused.kind == OptionError::Kind::kRefusal) {
      out.write(Out::kStdout, refused.en + "\n");
      out.flush(Out::kStdout);
      return 1;
    }
    if (refused) fail(refused.text(out.german()));
    if ((options.targets.size() == 1 && options.current().nameCount() == 0) || options.showUsage) {
      out.numbered(kMsgUsage);
      out.flush(Out::kStdout);
      return 1;
    }
    // The program's own file, wherever it was started from or installed:
    // the stubs and templates lie beside it.
    context.programDirectory = programDirectory(context.files.programPath());

    // Log files and archives are follow-ups of the patch that this version
    // cannot make yet: it writes the patch and says what is missing.
    runJob(options, context);
    if (options.logEnabled || options.packAfterwards) {
      out.write(Out::kStderr, "Log files (-l) and archives (-x, -z) are not available yet: only the patch \"" +
                                  options.finalName + "\" was written.\n");
      return 1;
    }
    return 0;
  } catch (const FatalError& failure) {
    return errorExit(context, failure.text());
  }
}

}  // namespace builder
