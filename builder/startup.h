// Start-up of the builder: clean-up handler, language, engine tables,
// banner, options, and the hand-over to the job.
#pragma once

#include <cstddef>
#include <string>

#include "builder/options.h"

namespace builder {

// Runs the whole program; returns the exit code. Every fatal error arrives
// here as a BuilderExit and is printed after the error clean-up.
int runKestmain(int argc, char** argv);

// Allocation routine of the engine tables: zero-filled memory or null.
using Allocator = void* (*)(std::size_t bytes);
// Allocates the 20 state blocks of the job; a failed allocation is message 29.
void initStateBlocks(Allocator allocate);
void releaseStateBlocks();

// The program directory: everything up to and including the last "\" or
// "/" of the program's path; empty when the path has no separator.
std::string programDirectory(const std::string& programPath);

// Reads every command-line word, then the words of VERDELIN_OPTS, and
// completes the settings.
void readOptions(Options* options, int argc, char** argv);

// One line per setting, for checking what the options produced.
std::string describeOptions(const Options& options);

extern const char* const kBanner;

}  // namespace builder
