#include "builder/cleanup.h"

#include <csignal>
#include <cstdlib>
#include <string>

#include "builder/messages.h"
#include "platform/process.h"

namespace builder {
namespace {

// Everything the handler needs is prepared when the file is registered, so
// that the handler itself only closes, writes, unlinks and exits. The path
// is kept whole, however long: a cut one could name another file. The
// strings change only while `open` is 0, so the handler never reads them
// half-made.
struct Registered {
  volatile std::sig_atomic_t open = 0;
  bool hasHandle = false;  // a finished output waits for its checks closed
  platform::NativeHandle handle{};
  std::string nativePath;
  std::string message;
};

Registered g_patch;
Registered g_log;

void fill(Registered* slot, const platform::File* file, const std::string& name, MessageNumber message) {
  slot->open = 0;
  slot->hasHandle = file != nullptr;
  if (file != nullptr) slot->handle = file->native();
  slot->nativePath = platform::toNative(name);
  slot->message = formatMessage(messageText(message), name, MsgArg(), kMessageBuffer) + "\n";
  slot->open = 1;
}

}  // namespace

void registerPatchOutput(const platform::File& file, const std::string& name) {
  fill(&g_patch, &file, name, kBuilderMsgDeletingPatch);
}
void registerFinishedPatch(const std::string& name) { fill(&g_patch, nullptr, name, kBuilderMsgDeletingPatch); }
void registerLogOutput(const platform::File& file, const std::string& name) {
  fill(&g_log, &file, name, kBuilderMsgDeletingLog);
}
void releasePatchOutput() { g_patch.open = 0; }
void releaseLogOutput() { g_log.open = 0; }
bool patchOutputOpen() { return g_patch.open != 0; }

namespace {

void discard(Registered* slot) {
  if (!slot->open) return;
  slot->open = 0;
  if (slot->hasHandle) platform::rawClose(slot->handle);
  platform::rawWriteError(slot->message.data(), slot->message.size());
  platform::rawDelete(slot->nativePath.c_str());
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

void installCleanupHandlers() {
  platform::installInterruptHandler(cleanupHandler);
  std::atexit([] { cleanupHandler(); });
}

}  // namespace builder
