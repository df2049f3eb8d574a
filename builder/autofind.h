// Registry autofind on the builder side: the "-k" option records where the
// appliers read the target's path from (a value below HKEY_LOCAL_MACHINE).
#pragma once

#include <string>

#include "builder/messages.h"
#include "builder/options.h"
#include "platform/registry.h"

namespace builder {

// Takes the text of "-k" (option letter, long tail and "=" already removed;
// never empty). The last "\"- or "/"-separated component is the value name,
// "@" meaning the default value; everything before it is the key path.
// A second key for one target, or a key for a target found in the Windows
// or system directory (or by no method), is refused.
OptionError setAutofindKey(TargetOptions* target, std::string text);

// Tells the vendor whether the target's key and value exist in `registry`
// (warnings always, the "Ok" lines unless `quiet`). Never stops the build.
void registryCheckReport(const TargetOptions& target, bool quiet, platform::Registry& registry, Output& out);

}  // namespace builder
