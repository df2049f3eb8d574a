#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/console.h"
#include "platform/process.h"

namespace platform {
namespace {

void (*g_interruptHandler)() = nullptr;

extern "C" void onSignal(int) {
  restoreConsoleMode();
  if (g_interruptHandler != nullptr) g_interruptHandler();
  _exit(1);
}

}  // namespace

std::string getEnv(const char* name, bool* present) {
  const char* value = std::getenv(name);
  if (present != nullptr) *present = value != nullptr;
  return value != nullptr ? std::string(value) : std::string();
}

void installInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

void rawWriteError(const char* text, std::size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(2, text, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    text += put;
    n -= static_cast<std::size_t>(put);
  }
}

void rawClose(NativeHandle handle) { ::close(handle); }
void rawDelete(const char* nativePath) { ::unlink(nativePath); }
void rawExit(int code) { _exit(code); }

}  // namespace platform
