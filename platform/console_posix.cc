#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "platform/console.h"

namespace platform {

// A terminal belongs to the shell that started the program.
bool SystemConsole::ownsWindow() { return false; }

void SystemConsole::write(Stream stream, const std::string& text) {
  if (stream == Stream::kErr) std::fflush(stdout);
  const std::string utf8 = cp850ToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stream == Stream::kOut ? stdout : stderr);
}

void SystemConsole::flush(Stream stream) { std::fflush(stream == Stream::kOut ? stdout : stderr); }

std::string shownOnConsole(const std::string& utf8) { return utf8Marked(utf8, false); }
// The writer keeps UTF-8 sequences as they are.
std::string consoleText(const std::string& utf8) { return shownOnConsole(utf8); }

namespace {

using Clock = std::chrono::steady_clock;

// Waits until standard input can be read or the deadline passes (no
// deadline when `timeoutMs` is negative). A hang-up counts as readable: the
// read then sees the end.
bool waitForInput(int timeoutMs, Clock::time_point deadline) {
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int n = ::poll(&fd, 1, wait);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// One byte of standard input: the byte, or -1 at the end or on an error.
int readByte() {
  unsigned char c = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got == 1) return c;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

namespace {
termios g_savedMode;
volatile std::sig_atomic_t g_modeChanged = 0;
}  // namespace

void restoreConsoleMode() {
  if (g_modeChanged) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
    g_modeChanged = 0;
  }
}

int SystemConsole::readKey(int timeoutMs) {
  std::fflush(stdout);  // the question is visible before the wait
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  termios saved;
  if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    // A key at a time and unechoed; signals (Ctrl-C) still work.
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_savedMode = saved;
    g_modeChanged = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    ::tcflush(STDIN_FILENO, TCIFLUSH);  // typed ahead before the question: not an answer
    const int key = waitForInput(timeoutMs, deadline) ? readByte() : -1;
    restoreConsoleMode();
    return key;
  }
  // A pipe or a file: the next character that is not a line end. One byte
  // per read, so that the answers to later questions stay in the input.
  for (;;) {
    if (!waitForInput(timeoutMs, deadline)) return -1;
    const int c = readByte();
    if (c != '\r' && c != '\n') return c;
  }
}

}  // namespace platform
