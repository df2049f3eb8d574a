#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/process.h"

namespace platform {
namespace {

void (*g_interruptHandler)() = nullptr;

// Console control events arrive on a thread of their own. Closing the
// console window ends the run like Ctrl-C does.
BOOL WINAPI onControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (g_interruptHandler != nullptr) g_interruptHandler();
  ExitProcess(1);
}

}  // namespace

int SystemCommandRunner::run(const std::string& commandLine) {
  std::fflush(nullptr);  // what was printed before comes first
  return std::system(commandLine.c_str());
}

bool setEnv(const char* name, const std::string& value) { return _putenv_s(name, value.c_str()) == 0; }

void installInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  SetConsoleCtrlHandler(onControl, TRUE);
}

void rawWriteError(const char* text, std::size_t n) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(n), &put, nullptr);
}

void rawClose(NativeHandle handle) { CloseHandle(handle); }
void rawDelete(const char* nativePath) { DeleteFileA(nativePath); }
void rawExit(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace platform
