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

namespace {

void discard(Registered* slot) {
  if (!slot->open) return;
  slot->open = 0;
  platform::rawClose(slot->handle);
  platform::rawWriteError(slot->message, slot->messageLength);
  platform::rawDelete(slot->nativePath);
}

}  // namespace

void cleanupHandler() {
  platform::rawDeleteRecorded();
  // The incomplete patch first, then the incomplete log; a run that ends
  // with its patch incomplete ends with exit code 1.
  const bool patchWasOpen = g_patch.open != 0;
  discard(&g_patch);
  discard(&g_log);
  if (patchWasOpen) platform::rawExit(1);
}

}  // namespace builder
