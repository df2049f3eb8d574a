// How the builder talks: the numbered English messages, the English/German
// pairs, the progress display of the difference search and the error exit.
//
// Every text is a byte string in code page 850. Results, the banner, phase
// labels and notices go to standard output; errors and the running
// percentages go to the error stream.
#pragma once

#include <cstddef>
#include <string>

#include "diffengine/memory.h"
#include "platform/console.h"
#include "platform/files.h"

namespace builder {

constexpr int kMessageCount = 31;
constexpr std::size_t kMessageBuffer = 1500;  // formatted fatal texts are cut to 1499 bytes

// The numbered messages (English only), by their entry in the table.
enum MessageNumber : int {
  kMsgUsage = 0,
  kMsgWarp1 = 1,  // the phase labels of the difference search
  kMsgWarp2 = 2,
  kMsgWarp3 = 3,
  kMsgPackerNotFound = 4,
  kMsgNoLongNames = 5,
  kMsgStubMissing = 6,
  kMsgDeletingPatch = 7,
  kMsgDeletingLog = 8,
  kMsgNoTemporaryFile = 9,
  kMsgInternalFileHandling = 10,
  kMsgCannotAccess = 11,
  kMsgCannotCreate = 12,
  kMsgNotADirectory = 13,
  kMsgCannotFindFile = 14,
  kMsgCannotReadFile = 15,
  kMsgCannotOpenPatch = 16,
  kMsgOneTargetByPath = 17,
  kMsgNoEAs = 18,
  kMsgNameTooLong = 19,
  kMsgCannotOpenStart = 20,
  kMsgCannotOpenEnd = 21,
  kMsgCannotReadState = 22,
  kMsgCannotWritePatch = 23,
  kMsgCannotOpenEmbedded = 24,
  kMsgCannotReadEmbedded = 25,
  kMsgCannotAccessScanned = 26,
  kMsgIdentical = 27,
  kMsgNoMatch = 28,
  kMsgAllocation = 29,
  kMsgSelfTest = 30,
};

// Entry n of the message table (0 is the usage text); empty past the end.
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
// `limit` - 1 bytes (0: no limit). Text arguments are system text (names in
// code page 1252) and come out in the console's code page 850; a text built
// into a message by other means goes through platform::cp1252ToCp850.
std::string formatMessage(const char* format, MsgArg a = MsgArg(), MsgArg b = MsgArg(),
                          std::size_t limit = 0);

// Every fatal error of the builder side is a FatalError raised by fail();
// `main` catches it, deletes an incomplete output and prints the text.
using diffengine::AllocationFailure;
using diffengine::fail;
using diffengine::FatalError;

enum class Out { kStdout, kStderr };

// The builder's console output in the language of the run: English, or
// German once setGerman(true) was called.
class Output {
 public:
  explicit Output(platform::Console& console) : console_(console) {}

  bool german() const { return german_; }
  void setGerman(bool german) { german_ = german; }
  const char* pick(const char* en, const char* de) const { return german_ ? de : en; }
  const std::string& pick(const std::string& en, const std::string& de) const { return german_ ? de : en; }

  void write(Out stream, const std::string& text);
  void flush(Out stream);
  // The text of the run's language followed by a line feed.
  void bilingual(const char* en, const char* de, Out stream);
  void bilingualFormat(const char* en, const char* de, MsgArg a, MsgArg b, Out stream);
  void bilingualFormatLine(const char* en, const char* de, MsgArg a, MsgArg b, Out stream);
  // A notice to standard output. The texts are cut to 255 bytes first, as
  // the notices' buffer holds; with `arg` they are formats for it, without
  // they are shown literally (texts built from user input are no formats).
  void notice(const std::string& en, const std::string& de, const char* arg = nullptr);
  void numbered(MessageNumber n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
  void numberedError(MessageNumber n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
  // Progress of phase 1, 2 or 3 of the difference search, in percent: the
  // label at 0 to standard output, the counter to the error stream.
  void progress(int phase, long percent);

  // Fatal errors: numbered messages are English in either language, cut to
  // the message buffer; message 29 is raised as an AllocationFailure.
  [[noreturn]] void failNumbered(MessageNumber n, MsgArg a = MsgArg(), MsgArg b = MsgArg()) const;
  [[noreturn]] void failBilingual(const std::string& en, const std::string& de) const;
  [[noreturn]] void failBilingualFormat(const char* en, const char* de, MsgArg a = MsgArg(),
                                        MsgArg b = MsgArg()) const;

 private:
  platform::Console& console_;
  bool german_ = false;
};

// German is chosen when win.ini (in the directory named by "windir", else
// the system's usual Windows directory, where it has one) holds a line that
// begins with "sLanguage=de" in any letter case.
bool germanFromWinIni(platform::FileSystem& files);

// The text of an interpreted win.ini: true when one of its lines, as read
// with a 298-byte line buffer, begins with the German key.
bool winIniSelectsGerman(const std::string& content);

}  // namespace builder
