// The windowed appliers' Win32 window: it translates between window
// messages and the WindowedApplier.
#pragma once

#include "winapplier/window_model.h"

namespace winapplier {

// Runs the program of `variant` with the process's command line; returns
// its exit code: 0 after the window closed, 1 after the usage box or an
// unexpected error (an exception, after its message), 255 when the window
// or the patch failed at start-up.
int runWindowed(Variant variant);

}  // namespace winapplier
