// The patch job: writes the patch file for every target of the options,
// header, compressed body of target series, trailer.
#pragma once

#include <string>

#include "builder/context.h"
#include "builder/options.h"

namespace builder {

// Most target series an applier handles in one patch.
constexpr std::size_t kMaxTargets = 11;

// Runs the whole job; every failure raises FatalError, the incomplete patch
// deleted on the way out.
void runJob(const Options& options, Context& context);

// The checks runJob makes before it creates any output (packer, log, the
// targets' states, names and sizes), alone: raises what runJob would.
void checkJob(const Options& options, Context& context);

}  // namespace builder
