#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/process.h"

namespace platform {
namespace {

void (*g_interruptHandler)() = nullptr;
volatile std::sig_atomic_t g_interruptExitCode = 1;

// Ctrl-C, a kill and a closed terminal all end the run the same way.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterruptSignals) sigaddset(&set, signal);
  return set;
}

volatile std::sig_atomic_t g_deferring = 0;
volatile std::sig_atomic_t g_requested = 0;

extern "C" void onSignal(int) {
  if (g_deferring != 0) {
    g_requested = 1;
    return;
  }
  restoreConsoleMode();
  if (g_interruptHandler != nullptr) g_interruptHandler();
  _exit(g_interruptExitCode);
}

}  // namespace

int SystemCommandRunner::run(const std::string& commandLine) {
  std::fflush(nullptr);  // what was printed before comes first
  const int status = std::system(toHost(commandLine).c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

char pathListSeparator() { return ':'; }
const char* nullDevice() { return "/dev/null"; }

std::string quoteForShell(const std::string& text, bool* ok) {
  *ok = text.find('\0') == std::string::npos;
  if (!*ok) return std::string();
  // Between single quotes every character stands for itself, but nothing can be escaped
  // either: a ' ends the quoted part, comes escaped, and a new part begins.
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> programNameCandidates(const std::string& program) {
  std::vector<std::string> names{program};
  const std::size_t n = program.size();
  if (n > 4 && program[n - 4] == '.' && (program[n - 3] | 0x20) == 'e' && (program[n - 2] | 0x20) == 'x' &&
      (program[n - 1] | 0x20) == 'e') {
    names.push_back(program.substr(0, n - 4));
  }
  return names;
}

bool setEnv(const char* name, const std::string& value) { return ::setenv(name, toHost(value).c_str(), 1) == 0; }

std::vector<std::string> programArgumentsUtf8(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::string getEnvUtf8(const char* name, bool* present) {
  const char* value = std::getenv(name);
  if (present != nullptr) *present = value != nullptr;
  return value != nullptr ? value : "";
}

void installInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  // While the handler runs, the others wait: it must not start twice.
  struct sigaction action {};
  action.sa_handler = onSignal;
  action.sa_mask = interruptSignals();
  // A deferred interrupt returns to the work: calls it cut short go on.
  action.sa_flags = SA_RESTART;
  for (int signal : kInterruptSignals) sigaction(signal, &action, nullptr);
}

// A signal that comes while they are blocked waits, and is delivered as
// soon as the mask is put back.
InterruptsHeld::InterruptsHeld() {
  static_assert(sizeof(sigset_t) <= sizeof saved_, "room for a signal mask");
  const sigset_t block = interruptSignals();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &block, &before);
  std::memcpy(saved_, &before, sizeof before);
}

InterruptsHeld::~InterruptsHeld() {
  sigset_t before;
  std::memcpy(&before, saved_, sizeof before);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

InterruptsDeferred::InterruptsDeferred() { g_deferring = 1; }

InterruptsDeferred::~InterruptsDeferred() { g_deferring = 0; }

bool interruptRequested() { return g_requested != 0; }
void clearInterruptRequest() { g_requested = 0; }

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

void setInterruptExitCode(int code) { g_interruptExitCode = code; }
bool slashWordsAreSwitches() { return false; }
void restrictLibrarySearch() {}

void adviseLargePages(void* block, std::size_t size) {
#if defined(MADV_HUGEPAGE)
  // Only whole pages inside the block; malloc's own header stays untouched.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + page - 1) / page * page;
  const auto stop = (reinterpret_cast<std::uintptr_t>(block) + size) / page * page;
  if (stop > start) madvise(reinterpret_cast<void*>(start), stop - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace platform
