// The windowed appliers' Win32 window: it translates between window
// messages and the WindowedApplier.
#pragma once

#include "platform/machine.h"
#include "winapplier/window_model.h"

namespace winapplier {

// Runs the program of `variant` with the process's command line; returns
// its exit code: 0 after the window closed, 1 after the usage box or an
// unexpected error (an exception, after its message), 255 when the window
// or the patch failed at start-up. With /quiet or /passive, the outcome's
// code instead (applier/exit_codes.h). The first thing a program does.
int runWindowed(Variant variant);
// The same on `machine` (tests: a machine whose other programs are made up).
int runWindowed(Variant variant, platform::Machine& machine);

}  // namespace winapplier
