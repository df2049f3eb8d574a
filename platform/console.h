// The console. Texts are byte strings in the OEM code page 850, the encoding
// the system keeps its (German) messages in. On POSIX the writer turns them
// into UTF-8, keeping what already is UTF-8; on Windows the bytes reach the
// console unchanged. Names go into console texts through cp1252ToCp850
// (codepage.h), texts as the user wrote them through consoleText.
#pragma once

#include <string>

#include "platform/codepage.h"

namespace platform {

enum class Stream { kOut, kErr };

class Console {
 public:
  virtual ~Console() = default;
  // Writes `text` as stored. Standard output is flushed before anything goes
  // to the error stream, so that a console shows both in program order.
  virtual void write(Stream stream, const std::string& text) = 0;
  virtual void flush(Stream stream) = 0;
  // Waits for one key press that yields a character, for at most
  // `timeoutMs` milliseconds (negative: no limit), after discarding console
  // input typed before the call. The key is not echoed. When standard input
  // is not a terminal (a pipe or a file), one character is read from it
  // instead, line ends skipped, so that scripts can answer. Returns the
  // character, or -1 on a timeout or at the end of the input.
  virtual int readKey(int timeoutMs) = 0;
  // Whether the console window is this program's own: it was opened for
  // the program (started by a double click) and closes when it ends, so
  // that its last words are gone unless it waits. Windows only.
  virtual bool ownsWindow() { return false; }
};

// The process's standard streams.
class SystemConsole final : public Console {
 public:
  void write(Stream stream, const std::string& text) override;
  void flush(Stream stream) override;
  int readKey(int timeoutMs) override;
  bool ownsWindow() override;
};

// What the console shows of `utf8`, a text as the user or the host wrote it
// (process.h), in UTF-8: a '?' for each character it cannot show and for
// each byte that is no part of UTF-8. A POSIX terminal shows every
// character, a Windows console those of code page 850. Typed back, the
// shown text is the written one wherever it holds no '?' of its own.
std::string shownOnConsole(const std::string& utf8);
// `utf8` as a console text, showing what shownOnConsole tells.
std::string consoleText(const std::string& utf8);

// Puts a terminal that readKey switched to single keys back as it was;
// async-signal-safe, for the interrupt handler.
void restoreConsoleMode();

}  // namespace platform
