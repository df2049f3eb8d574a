// What follows the written patch, and the checks made for it before any
// work: the stub joined in front of it (-s, with the vendor's version values
// of -R) and the archive it is packed into (-z, -x).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/context.h"
#include "builder/options.h"
#include "builder/patch_output.h"
#include "builder/verify.h"
#include "packaging/version_resource.h"

namespace builder {

// The packer's check before the job: -z looks for the program, and a
// command that cannot be built (a name the interpreter cannot take, a line
// too long) is refused now, not after the difference work.
void checkPacker(const Options& options, Context& context);
// Packs the finished output into its archive and says so.
void packOutput(const Options& options, Context& context);

// -R: the values are for the self-applying program; a plain patch leaves
// them out with a notice. Refuses a program name too long for the room the
// stubs reserve.
void checkVersionStrings(const Options& options, Context& context);
// The values the stub's copy gets (-R and the program's own file name);
// none without -R.
std::vector<packaging::VersionString> stubStrings(const Options& options);

// Joins the stub for this kind of patch in front of the closed temporary
// patch of `output`, which becomes options.finalName; notes the stub and its
// values in `written`. Returns the program's length; a failure is fatal,
// with the temporary patch gone.
std::uint64_t joinStub(const Options& options, Context& context, bool directoryPatch, PatchOutput& output,
                       WrittenPatch* written);

}  // namespace builder
