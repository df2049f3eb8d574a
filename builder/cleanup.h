// Half-written output never survives the builder: the patch file being
// written and the log file are registered here while they are open, and the
// clean-up handler (run on an interrupt and at program exit) deletes them.
// The slots are the process's own, as a signal handler needs them.
#pragma once

#include <string>

#include "platform/files.h"

namespace builder {

// The patch's slot is filled and released by its owner, PatchOutput, alone.
// `file` is the open output; `name` its path in system form, as messages show it.
void registerPatchOutput(const platform::File& file, const std::string& name);
// The patch output, written and closed, that stays to be deleted until it
// passed its checks (releasePatchOutput then).
void registerFinishedPatch(const std::string& name);
void registerLogOutput(const platform::File& file, const std::string& name);
// Marks the file closed (after a normal close): the handler leaves it alone.
void releasePatchOutput();
void releaseLogOutput();
bool patchOutputOpen();

// Interrupt and exit handler. Deletes the temporaries recorded with
// platform::recordTemporary (silently). With the patch output open: closes
// it, prints the "Deleting incomplete patch file" message and deletes it;
// then the same for an open log with its own message; after an incomplete
// patch the process ends with exit code 1. Uses only async-signal-safe calls.
void cleanupHandler();

// Makes cleanupHandler the process's interrupt handler and runs it at exit.
// For the program's main, once: a library caller keeps its own handlers.
void installCleanupHandlers();

}  // namespace builder
