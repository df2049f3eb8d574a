#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "platform/process.h"
#include "platform/win32_support.h"

namespace platform {
namespace {

void (*g_interruptHandler)() = nullptr;
volatile LONG g_interruptExitCode = 1;
// Taken by holds of interrupts and by the handler, which keeps it until
// the process has ended.
SRWLOCK g_interruptGate = SRWLOCK_INIT;
thread_local int t_holds = 0;  // of the calling thread; the outermost takes the lock

volatile LONG g_deferring = 0;
volatile LONG g_requested = 0;
// Set while no deferral exists: a closed console's handler waits for it.
HANDLE g_notDeferring = CreateEventA(nullptr, TRUE, TRUE, nullptr);

// The system ends a process a few seconds after its console window was
// closed; the work's undo must be done by then.
constexpr DWORD kCloseWaitMs = 4500;

}  // namespace

// Console control events arrive on a thread of their own. Closing the
// console window ends the run like Ctrl-C does.
BOOL WINAPI consoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (InterlockedCompareExchange(&g_deferring, 0, 0) != 0) {
    InterlockedExchange(&g_requested, 1);
    if (event != CTRL_CLOSE_EVENT) return TRUE;
    // The console is gone: the work puts the target back, then the
    // process ends here, unless the work ended it first.
    WaitForSingleObject(g_notDeferring, kCloseWaitMs);
  }
  AcquireSRWLockExclusive(&g_interruptGate);
  if (g_interruptHandler != nullptr) g_interruptHandler();
  ExitProcess(static_cast<UINT>(g_interruptExitCode));
}

int SystemCommandRunner::run(const std::string& commandLine) {
  std::fflush(nullptr);  // what was printed before comes first
  // "cmd /c" drops the first and the last '"' of a line that begins with
  // one, which would break a quoted program name; an outer pair is dropped
  // instead.
  if (!commandLine.empty() && commandLine[0] == '"') return std::system(("\"" + commandLine + "\"").c_str());
  return std::system(commandLine.c_str());
}

char pathListSeparator() { return ';'; }
const char* nullDevice() { return "nul"; }

std::string quoteForShell(const std::string& text, bool* ok) {
  // Between double quotes cmd.exe takes & | < > ( ) and blanks literally,
  // but still expands %variables% (and !variables! with delayed expansion),
  // and a '"' inside would end the quotes; no escape helps there.
  *ok = true;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '%' || c == '^' || c == '!' || u < 0x20 || u == 0x7F) *ok = false;
  }
  return *ok ? "\"" + text + "\"" : std::string();
}

std::vector<std::string> programNameCandidates(const std::string& program) { return {program}; }

bool setEnv(const char* name, const std::string& value) { return _putenv_s(name, value.c_str()) == 0; }

// The C library's splitting of the wide command line (msvcrt.dll), by the
// rules that gave argv; the last argument points at its start-up info.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                                      void* startInfo);

std::vector<std::string> programArgumentsUtf8(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  int newMode = 0;
  std::vector<std::string> out;
  if (__wgetmainargs(&count, &wide, &environment, 0, &newMode) >= 0 && wide != nullptr && count == argc) {
    for (int i = 0; i < argc; ++i) out.push_back(utf8FromWide(wide[i], wcslen(wide[i])));
    return out;
  }
  // Split otherwise than argv: the ANSI words, which is all there is then.
  for (int i = 0; i < argc; ++i) out.push_back(utf8FromSystem(argv[i]));
  return out;
}

std::string getEnvUtf8(const char* name, bool* present) {
  const std::wstring wideName = toWide(name);
  const DWORD n = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (present != nullptr) *present = n > 0;
  if (n == 0) return std::string();
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wideName.c_str(), &value[0], n);
  return utf8FromWide(value.data(), got < n ? got : 0);
}

void installInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  SetConsoleCtrlHandler(consoleControl, TRUE);
}

InterruptsHeld::InterruptsHeld() {
  if (t_holds++ == 0) AcquireSRWLockExclusive(&g_interruptGate);
}

InterruptsHeld::~InterruptsHeld() {
  if (--t_holds == 0) ReleaseSRWLockExclusive(&g_interruptGate);
}

InterruptsDeferred::InterruptsDeferred() {
  ResetEvent(g_notDeferring);
  InterlockedExchange(&g_deferring, 1);
}

InterruptsDeferred::~InterruptsDeferred() {
  InterlockedExchange(&g_deferring, 0);
  SetEvent(g_notDeferring);
}

bool interruptRequested() { return InterlockedCompareExchange(&g_requested, 0, 0) != 0; }
void clearInterruptRequest() { InterlockedExchange(&g_requested, 0); }

void rawWriteError(const char* text, std::size_t n) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(n), &put, nullptr);
}

void rawClose(NativeHandle handle) { CloseHandle(handle); }
void rawDelete(const char* nativePath) { DeleteFileA(nativePath); }
void rawExit(int code) { ExitProcess(static_cast<UINT>(code)); }

void setInterruptExitCode(int code) { InterlockedExchange(&g_interruptExitCode, code); }
bool slashWordsAreSwitches() { return true; }

HMODULE loadSystemLibrary(const char* name) {
  char dir[MAX_PATH];
  const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  const std::string path = std::string(dir) + "\\" + name;
  // Its own dependencies are looked for beside it, in the system directory.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void restrictLibrarySearch() {
  // Windows 8 and later, and Windows 7 with its update KB2533623, have
  // SetDefaultDllDirectories; older ones at least leave the current
  // directory out.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict == nullptr || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryA("");
}

// Large pages on Windows need a privilege that programs do not have.
void adviseLargePages(void*, std::size_t) {}

static_assert(sizeof(SRWLOCK) == sizeof(void*), "Lock keeps an SRWLOCK in one pointer");

void Lock::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
void Lock::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

}  // namespace platform
