#include <windows.h>

#include <cstdio>
#include <deque>

#include "platform/console.h"

namespace platform {

// The messages are already in the console's OEM code page: write them as
// they are. Text mode turns line feeds into CR LF, as console programs do.
void SystemConsole::write(Stream stream, const std::string& text) {
  if (stream == Stream::kErr) std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stream == Stream::kOut ? stdout : stderr);
}

void SystemConsole::flush(Stream stream) { std::fflush(stream == Stream::kOut ? stdout : stderr); }

std::string shownOnConsole(const std::string& utf8) { return utf8Marked(utf8, true); }
std::string consoleText(const std::string& utf8) { return utf8ToCp850(shownOnConsole(utf8)); }

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

// Standard input that is no console (a pipe or a file) is read by a thread
// of its own, one byte at a time into a queue, so that a wait can end after
// its timeout even where a pipe cannot be polled (Wine's pipes refuse
// PeekNamedPipe). A new input handle gets a new reader; an old one stays
// blocked on its handle until that ends.
struct InputReader {
  HANDLE in = nullptr;
  HANDLE ready = nullptr;  // set while a byte or the end waits in the queue
  CRITICAL_SECTION lock;
  std::deque<int> bytes;
  bool ended = false;
};

DWORD WINAPI readInput(LPVOID parameter) {
  InputReader* r = static_cast<InputReader*>(parameter);
  for (;;) {
    char c = 0;
    DWORD got = 0;
    const bool ok = ReadFile(r->in, &c, 1, &got, nullptr) && got == 1;
    EnterCriticalSection(&r->lock);
    if (ok) {
      r->bytes.push_back(static_cast<unsigned char>(c));
    } else {
      r->ended = true;
    }
    SetEvent(r->ready);
    LeaveCriticalSection(&r->lock);
    if (!ok) return 0;
  }
}

InputReader* readerFor(HANDLE in) {
  static InputReader* current = nullptr;
  // A handle value may come again for another file once the first one
  // closed; a reader that saw its input end is not reused.
  if (current != nullptr && current->in == in) {
    EnterCriticalSection(&current->lock);
    const bool spent = current->ended && current->bytes.empty();
    LeaveCriticalSection(&current->lock);
    if (!spent) return current;
  }
  // Once its thread runs, a reader is never freed: the thread may outlive
  // the handle's use. One whose thread could not start is given back whole.
  InputReader* r = new InputReader;
  r->in = in;
  r->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (r->ready == nullptr) {
    delete r;
    return nullptr;
  }
  InitializeCriticalSection(&r->lock);
  HANDLE thread = CreateThread(nullptr, 0, readInput, r, 0, nullptr);
  if (thread == nullptr) {
    DeleteCriticalSection(&r->lock);
    CloseHandle(r->ready);
    delete r;
    return nullptr;
  }
  CloseHandle(thread);
  current = r;
  return r;
}

// The next byte of non-console input; -1 at its end or after the timeout.
int nextByte(HANDLE in, int timeoutMs, ULONGLONG deadline) {
  InputReader* r = readerFor(in);
  if (r == nullptr) return -1;
  for (;;) {
    EnterCriticalSection(&r->lock);
    if (!r->bytes.empty()) {
      const int c = r->bytes.front();
      r->bytes.pop_front();
      LeaveCriticalSection(&r->lock);
      return c;
    }
    const bool ended = r->ended;
    if (!ended) ResetEvent(r->ready);
    LeaveCriticalSection(&r->lock);
    if (ended || WaitForSingleObject(r->ready, remaining(timeoutMs, deadline)) != WAIT_OBJECT_0) return -1;
  }
}

}  // namespace

// A console that lists no other process than this one was made for it; a
// console window is what a key can be read from.
bool SystemConsole::ownsWindow() {
  DWORD processes[2];
  DWORD mode = 0;
  return GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

// The console's mode is never changed.
void restoreConsoleMode() {}

int SystemConsole::readKey(int timeoutMs) {
  std::fflush(stdout);  // the question is visible before the wait
  const ULONGLONG deadline = GetTickCount64() + (timeoutMs < 0 ? 0 : static_cast<ULONGLONG>(timeoutMs));
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
  DWORD mode = 0;
  if (GetConsoleMode(in, &mode)) return consoleKey(in, timeoutMs, deadline);
  // A pipe or a file: the next character that is not a line end, read one
  // byte at a time so that the answers to later questions stay in the input.
  for (;;) {
    const int c = nextByte(in, timeoutMs, deadline);
    if (c != '\r' && c != '\n') return c;
  }
}

}  // namespace platform
