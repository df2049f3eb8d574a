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
  platform::File* file = nullptr;
  platform::NativeHandle handle{};
  char nativePath[4096] = {};
  char message[kMessageBuffer + 2] = {};
  std::size_t messageLength = 0;
};

Registered g_patch;
Registered g_log;
void (*g_jobCleanup)() = nullptr;

void fill(Registered* slot, platform::File* file, const std::string& name, int messageNumber) {
  slot->open = 0;
  slot->file = file;
  slot->handle = file->native();
  const std::string native = platform::toNative(name);
  std::strncpy(slot->nativePath, native.c_str(), sizeof slot->nativePath - 1);
  const std::string text = formatMessage(messageText(messageNumber), name, MsgArg(), kMessageBuffer) + "\n";
  std::memcpy(slot->message, text.data(), text.size());
  slot->messageLength = text.size();
  slot->open = 1;
}

}  // namespace

void registerPatchOutput(platform::File* file, const std::string& name) { fill(&g_patch, file, name, 7); }
void registerLogOutput(platform::File* file, const std::string& name) { fill(&g_log, file, name, 8); }
void releasePatchOutput() { g_patch.open = 0; }
void releaseLogOutput() { g_log.open = 0; }
bool patchOutputOpen() { return g_patch.open != 0; }

void discardPatchOutput() {
  if (!g_patch.open) return;
  g_patch.open = 0;
  g_patch.file->close();
  platform::rawDelete(g_patch.nativePath);
}

void setJobCleanup(void (*cleanup)()) { g_jobCleanup = cleanup; }

void runJobCleanup() {
  if (g_jobCleanup != nullptr) g_jobCleanup();
}

void cleanupHandler() {
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
