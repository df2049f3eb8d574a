// Temporary files that an interrupt must not leave behind. The record is
// kept in fixed slots, filled before a slot is marked used, so that the
// interrupt handler only walks them and unlinks.
#pragma once

#include <string>

namespace applier {

void registerTemporary(const std::string& path);
void releaseTemporary(const std::string& path);
// Deletes every registered temporary; async-signal-safe.
void deleteRegisteredTemporaries();

}  // namespace applier
