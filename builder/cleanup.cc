#include "builder/cleanup.h"

#include <csignal>
#include <cstring>

#include "builder/messages.h"
#include "platform/process.h"

namespace builder {
namespace {

// Everything the handler needs is prepared when the file is registered, so
// that the handler itself only closes, writes, unlinks and exits.
struct Registered {
  volatile std::sig_atomic_t open = 0;
  platform::NativeHandle handle{};
  char nativePath[4096] = {};
  char message[kMessageBuffer + 2] = {};
  std::size_t messageLength = 0;
};

Registered g_patch;
Registered g_log;

void fill(Registered* slot, const platform::File& file, const std::string& name, MessageNumber message) {
  slot->open = 0;
  slot->handle = file.native();
  const std::string native = platform::toNative(name);
  std::strncpy(slot->nativePath, native.c_str(), sizeof slot->nativePath - 1);
  const std::string text = formatMessage(messageText(message), name, MsgArg(), kMessageBuffer) + "\n";
  std::memcpy(slot->message, text.data(), text.size());
  slot->messageLength = text.size();
  slot->open = 1;
}

}  // namespace

void registerPatchOutput(const platform::File& file, const std::string& name) {
  fill(&g_patch, file, name, kMsgDeletingPatch);
}
void registerLogOutput(const platform::File& file, const std::string& name) { fill(&g_log, file, name, kMsgDeletingLog); }
void releasePatchOutput() { g_patch.open = 0; }
void releaseLogOutput() { g_log.open = 0; }
bool patchOutputOpen() { return g_patch.open != 0; }

void cleanupHandler() {
  platform::rawDeleteRecorded();
  if (g_patch.open) {
    g_patch.open = 0;
    platform::rawClose(g_patch.handle);
    platform::rawWriteError(g_patch.message, g_patch.messageLength);
    platform::rawDelete(g_patch.nativePath);
    platform::rawExit(1);
  }
  if (g_log.open) {
    g_log.open = 0;
    platform::rawClose(g_log.handle);
    platform::rawWriteError(g_log.message, g_log.messageLength);
    platform::rawDelete(g_log.nativePath);
  }
}

}  // namespace builder
