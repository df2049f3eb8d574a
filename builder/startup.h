// Start-up of the builder: language, engine tables, banner, options, and
// the hand-over to the job. The interrupt and exit handler is the program's
// (main installs it once, cleanup.h); the calls here leave the process's
// handlers alone.
#pragma once

#include <cstddef>
#include <string>

#include "builder/context.h"
#include "builder/options.h"
#include "platform/machine.h"

namespace builder {

// Runs the whole program on `machine` with the words of argv as the user
// wrote them (UTF-8, platform::programArgumentsUtf8); returns the exit code.
// Every fatal error arrives here as a FatalError and is printed after the
// error clean-up; any other exception gets the same clean-up and a message
// of its own. An incomplete patch is gone by then (PatchOutput).
int runKestmain(int argc, char** argv, platform::Machine& machine);

// The start-up up to the job: language, banner, options. True when the job
// is to run with `*options`; otherwise the run ends with `*exitCode`, the
// usage text or a refusal shown. Fatal errors are raised.
bool startRun(int argc, char** argv, Context& context, Options* options, int* exitCode);

// The program directory: everything up to and including the last "\" or
// "/" of the program's path; empty when the path has no separator.
std::string programDirectory(const std::string& programPath);

// Reads every command-line word (UTF-8, as written), then the words of
// VERDELIN_OPTS, and completes the settings; stops at the first refused
// word. Each word reaches the options in the system's code page and, for
// its patterns, as written.
OptionError readOptions(Options* options, int argc, char** argv, platform::FileSystem& files);

extern const char* const kBanner;

}  // namespace builder
