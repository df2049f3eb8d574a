// The patch job: writes the patch file for every target of the options,
// header, compressed body of target series, trailer.
#pragma once

#include <string>

#include "builder/options.h"

namespace builder {

// Most target series an applier handles in one patch.
constexpr std::size_t kMaxTargets = 11;

// Runs the whole job; every failure leaves through the error exit, which
// deletes the incomplete output.
void runJob(const Options& options);

}  // namespace builder
