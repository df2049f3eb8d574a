// How the builder talks: the numbered English messages, the English/German
// pairs, the progress display of the difference search and the error exit.
//
// Every text is a byte string in code page 850. Results, the banner, phase
// labels and notices go to standard output; errors and the running
// percentages go to the error stream.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "diffengine/memory.h"

namespace builder {

// Set once at start-up from win.ini; read by every bilingual output routine.
extern bool germanMode;

// Number of the numbered message being raised as an error, plus 1; 10000
// while none is pending.
extern long lastMessageNumber;

constexpr int kMessageCount = 31;
constexpr int kNoMessagePending = 10000;
constexpr std::size_t kMessageBuffer = 1500;  // formatted fatal texts are cut to 1499 bytes

// Entry n of the message table (0 is the usage text).
const char* messageText(int n);

// The one or two arguments of a message: a text or a 32-bit signed number.
class MsgArg {
 public:
  MsgArg() : text_("") {}
  MsgArg(const char* text) : text_(text) {}          // NOLINT: implicit by design
  MsgArg(const std::string& text) : text_(text.c_str()) {}  // NOLINT
  MsgArg(long number) : number_(number), isNumber_(true) {}  // NOLINT
  MsgArg(int number) : number_(number), isNumber_(true) {}   // NOLINT
  bool isNumber() const { return isNumber_; }
  const char* text() const { return text_; }
  long number() const { return number_; }

 private:
  const char* text_ = "";
  long number_ = 0;
  bool isNumber_ = false;
};

// printf-style formatting of `format` with up to two arguments, cut to
// `limit` - 1 bytes (0: no limit).
std::string formatMessage(const char* format, MsgArg a = MsgArg(), MsgArg b = MsgArg(),
                          std::size_t limit = 0);

// The way the program ends after a fatal error or a refusal: `main` catches
// it, runs the clean-up and prints `text` (with a line feed) to the stream.
class BuilderExit : public std::exception {
 public:
  enum class Kind {
    kFatal,    // error exit: incomplete output deleted, text to the error stream
    kRefusal,  // printed to standard output, exit code 1, no error clean-up
  };
  BuilderExit(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Kind kind_;
  std::string text_;
};

// An allocation failure (message 29). The difference search catches it to
// retry with a more frugal memory strategy; anywhere else it is fatal.
using AllocationFailure = diffengine::AllocationFailure;

enum class Out { kStdout, kStderr };

void printBilingual(const char* en, const char* de, Out stream);
void printBilingualFormat(const char* en, const char* de, MsgArg a, MsgArg b, Out stream);
void printBilingualFormatLine(const char* en, const char* de, MsgArg a, MsgArg b, Out stream);
void printNumbered(int n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
void printNumberedError(int n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
[[noreturn]] void failNumbered(int n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
[[noreturn]] void failBilingualFormat(const char* en, const char* de, MsgArg a = MsgArg(),
                                      MsgArg b = MsgArg());
[[noreturn]] void fatalError(const std::string& en, const std::string& de);

// Progress of the three phases of the difference search, in percent.
void progressWarp1(long percent);
void progressWarp2(long percent);
void progressWarp3(long percent);

// Where console text goes; tests capture it. Null restores the console.
using ConsoleSink = void (*)(Out stream, const std::string& text);
void setConsoleSink(ConsoleSink sink);
void writeConsole(Out stream, const std::string& text);
void flushConsole(Out stream);

// German is chosen when win.ini (in the directory named by "windir", else
// c:\windows) holds a line that begins with "sLanguage=de" in any letter case.
bool germanFromWinIni();

// The text of an interpreted win.ini: true when one of its lines, as read
// with a 298-byte line buffer, begins with the German key.
bool winIniSelectsGerman(const std::string& content);

}  // namespace builder
