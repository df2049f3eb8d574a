#include "applier/temporaries.h"

#include <csignal>
#include <cstring>

#include "platform/files.h"
#include "platform/process.h"

namespace applier {
namespace {

// A run holds few temporaries at once: the expanded body, two outputs of a
// version chain and the staged copy beside a target.
constexpr int kSlots = 16;

struct Slot {
  volatile std::sig_atomic_t used = 0;
  char nativePath[1024] = {};
};

Slot g_slots[kSlots];

}  // namespace

void registerTemporary(const std::string& path) {
  const std::string native = platform::toNative(path);
  if (native.size() >= sizeof g_slots[0].nativePath) return;  // too long to record: clean-up still deletes it
  for (Slot& slot : g_slots) {
    if (slot.used) continue;
    std::memcpy(slot.nativePath, native.c_str(), native.size() + 1);
    slot.used = 1;
    return;
  }
}

void releaseTemporary(const std::string& path) {
  const std::string native = platform::toNative(path);
  for (Slot& slot : g_slots) {
    if (slot.used && native == slot.nativePath) {
      slot.used = 0;
      return;
    }
  }
}

void deleteRegisteredTemporaries() {
  for (Slot& slot : g_slots) {
    if (!slot.used) continue;
    slot.used = 0;
    platform::rawDelete(slot.nativePath);
  }
}

}  // namespace applier
