#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace platform {

// The messages are already in the console's OEM code page: write them as
// they are. Text mode turns line feeds into CR LF, as console programs do.
void consoleWrite(Stream stream, const std::string& text) {
  if (stream == Stream::kErr) std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stream == Stream::kOut ? stdout : stderr);
}

void consoleFlush(Stream stream) { std::fflush(stream == Stream::kOut ? stdout : stderr); }

namespace {

// Milliseconds left until `deadline` (INFINITE without a limit).
DWORD remaining(int timeoutMs, ULONGLONG deadline) {
  if (timeoutMs < 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The next key press that yields a character, from the console's input
// events (key releases, mouse and focus events pass by).
int consoleKey(HANDLE in, int timeoutMs, ULONGLONG deadline) {
  FlushConsoleInputBuffer(in);  // typed ahead before the question: not an answer
  for (;;) {
    if (WaitForSingleObject(in, remaining(timeoutMs, deadline)) != WAIT_OBJECT_0) return -1;
    INPUT_RECORD record;
    DWORD n = 0;
    if (!ReadConsoleInputA(in, &record, 1, &n)) return -1;
    if (n == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0) {
      return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
    }
  }
}

// Waits for data in a pipe. A pipe cannot be waited on like a console, so
// it is looked at every 20 ms. False on a timeout; true also when the
// writer has gone, so that the read sees the end.
bool pipeReady(HANDLE in, int timeoutMs, ULONGLONG deadline) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
    const DWORD left = remaining(timeoutMs, deadline);
    if (left == 0) return false;
    Sleep(left < 20 ? left : 20);
  }
}

}  // namespace

int readKey(int timeoutMs) {
  std::fflush(stdout);  // the question is visible before the wait
  const ULONGLONG deadline = GetTickCount64() + (timeoutMs < 0 ? 0 : static_cast<ULONGLONG>(timeoutMs));
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
  DWORD mode = 0;
  if (GetConsoleMode(in, &mode)) return consoleKey(in, timeoutMs, deadline);
  // A pipe or a file: the next character that is not a line end, read one
  // byte at a time so that the answers to later questions stay in the input.
  const bool pipe = GetFileType(in) == FILE_TYPE_PIPE;
  for (;;) {
    if (pipe && !pipeReady(in, timeoutMs, deadline)) return -1;
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) return -1;
    if (c != '\r' && c != '\n') return static_cast<unsigned char>(c);
  }
}

}  // namespace platform
