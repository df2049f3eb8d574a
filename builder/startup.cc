#include "builder/startup.h"

#include <exception>
#include <vector>

#include "builder/context.h"
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

// The error exit: the text printed (the job deleted its incomplete patch on
// its way out).
int errorExit(Context& context, const std::string& text) {
  context.out.write(platform::Stream::kErr, text + "\n");
  // A failed job still gets the log of what it reported until the failure.
  try {
    context.writeLog();
  } catch (const FatalError& failure) {
    context.out.write(platform::Stream::kErr, failure.text() + "\n");
  } catch (...) {
    // The log stays as far as it was written; the first error is the one told.
  }
  context.out.flush(platform::Stream::kErr);
  return 1;
}

// The text for an exception that is none of the builder's own errors: an
// allocation outside the engine's budget, a thread the system refused.
std::string unexpectedFailure(const Output& out, const char* what) {
  return formatMessage(out.pick("Error, the builder stopped on an unexpected failure (%s).",
                                "Fehler, der Builder wurde durch einen unerwarteten Fehler beendet (%s)."),
                       what, MsgArg(), kMessageBuffer);
}

}  // namespace

std::string programDirectory(const std::string& programPath) {
  const std::size_t slash = platform::lastSeparator(programPath);
  return slash == std::string::npos ? std::string() : programPath.substr(0, slash + 1);
}

OptionError readOptions(Options* options, int argc, char** argv, platform::FileSystem& files) {
  for (int i = 1; i < argc; ++i) {
    if (OptionError e = parseWord(options, platform::systemFromUtf8(argv[i]), argv[i], true, files)) return e;
  }
  bool present = false;
  const std::string env = platform::getEnvUtf8("VERDELIN_OPTS", &present);
  if (present) {
    std::vector<std::string> words;
    if (OptionError e = splitOptionsVariable(env, &words)) return e;
    for (const std::string& word : words) {
      if (OptionError e = parseWord(options, platform::systemFromUtf8(word), word, false, files)) return e;
    }
  }
  completeSettings(options);
  return OptionError();
}

bool startRun(int argc, char** argv, Context& context, Options* options, int* exitCode) {
  Output& out = context.out;
  out.setGerman(germanFromWinIni(context.files));
  out.write(platform::Stream::kOut, kBanner);
  setDefaults(options);
  const OptionError refused = readOptions(options, argc, argv, context.files);
  if (refused.kind == OptionError::Kind::kRefusal) {
    out.write(platform::Stream::kOut, refused.en + "\n");
    out.flush(platform::Stream::kOut);
    *exitCode = 1;
    return false;
  }
  if (refused) fail(refused.text(out.german()));
  // A target without any state (no name before a -n, or none after the
  // last one) leaves nothing to patch: the usage text, as for no names at all.
  bool stateless = false;
  for (const TargetOptions& target : options->targets) stateless = stateless || target.nameCount() == 0;
  if (stateless || options->showUsage) {
    out.numbered(kBuilderMsgUsage);
    out.flush(platform::Stream::kOut);
    *exitCode = 1;
    return false;
  }
  // The program's own file, wherever it was started from or installed:
  // the stubs and templates lie beside it.
  context.programDirectory = programDirectory(context.files.programPath());
  return true;
}

int runKestmain(int argc, char** argv, platform::Machine& machine) {
  Context context(machine);
  try {
    Options options;
    int exitCode = 0;
    if (!startRun(argc, argv, context, &options, &exitCode)) return exitCode;
    runJob(options, context);
    return 0;
  } catch (const FatalError& failure) {
    return errorExit(context, failure.text());
  } catch (const std::exception& e) {
    return errorExit(context, unexpectedFailure(context.out, e.what()));
  } catch (...) {
    return errorExit(context, unexpectedFailure(context.out, "unknown"));
  }
}

}  // namespace builder
