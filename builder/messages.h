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

#include "platform/console.h"
#include "platform/files.h"

namespace builder {

constexpr int kMessageCount = 31;
constexpr std::size_t kMessageBuffer = 1500;  // formatted fatal texts are cut to 1499 bytes

// The numbered messages (English only), by their entry in the table. The
// appliers number their own table differently: these names say whose they are.
enum MessageNumber : int {
  kBuilderMsgUsage = 0,
  kBuilderMsgWarp1 = 1,  // the phase labels of the difference search
  kBuilderMsgWarp2 = 2,
  kBuilderMsgWarp3 = 3,
  kBuilderMsgPackerNotFound = 4,
  kBuilderMsgNoLongNames = 5,
  kBuilderMsgStubMissing = 6,
  kBuilderMsgDeletingPatch = 7,
  kBuilderMsgDeletingLog = 8,
  kBuilderMsgNoTemporaryFile = 9,
  kBuilderMsgInternalFileHandling = 10,
  kBuilderMsgCannotAccess = 11,
  kBuilderMsgCannotCreate = 12,
  kBuilderMsgNotADirectory = 13,
  kBuilderMsgCannotFindFile = 14,
  kBuilderMsgCannotReadFile = 15,
  kBuilderMsgCannotOpenPatch = 16,
  kBuilderMsgOneTargetByPath = 17,
  kBuilderMsgNoEAs = 18,
  kBuilderMsgNameTooLong = 19,
  kBuilderMsgCannotOpenStart = 20,
  kBuilderMsgCannotOpenEnd = 21,
  kBuilderMsgCannotReadState = 22,
  kBuilderMsgCannotWritePatch = 23,
  kBuilderMsgCannotOpenEmbedded = 24,
  kBuilderMsgCannotReadEmbedded = 25,
  kBuilderMsgCannotAccessScanned = 26,
  kBuilderMsgIdentical = 27,
  kBuilderMsgNoMatch = 28,
  kBuilderMsgAllocation = 29,
  kBuilderMsgSelfTest = 30,
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

// Every fatal error of the builder is a FatalError raised by fail() or one
// of Output's fail calls; `main` catches it, deletes an incomplete output and
// prints the text (a line feed is added when it is printed).
class FatalError : public std::exception {
 public:
  explicit FatalError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// A fatal error that is a failed allocation (message 29).
class AllocationFailure : public FatalError {
 public:
  using FatalError::FatalError;
};

[[noreturn]] void fail(std::string text);

// The builder's console output in the language of the run: English, or
// German once setGerman(true) was called.
class Output {
 public:
  explicit Output(platform::Console& console) : console_(console) {}

  bool german() const { return german_; }
  void setGerman(bool german) { german_ = german; }
  const char* pick(const char* en, const char* de) const { return german_ ? de : en; }
  const std::string& pick(const std::string& en, const std::string& de) const { return german_ ? de : en; }

  void write(platform::Stream stream, const std::string& text);
  void flush(platform::Stream stream);
  // The text of the run's language followed by a line feed.
  void bilingual(const char* en, const char* de, platform::Stream stream);
  void bilingualFormat(const char* en, const char* de, MsgArg a, MsgArg b, platform::Stream stream);
  void bilingualFormatLine(const char* en, const char* de, MsgArg a, MsgArg b, platform::Stream stream);
  // A notice to standard output. The texts are cut to 255 bytes first, as
  // the notices' buffer holds; with `arg` they are formats for it, without
  // they are shown literally (texts built from user input are no formats).
  void notice(const std::string& en, const std::string& de, const char* arg = nullptr);
  void numbered(MessageNumber n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
  void numberedError(MessageNumber n, MsgArg a = MsgArg(), MsgArg b = MsgArg());
  // Progress of phase 1, 2 or 3 of the difference search, in percent: the
  // label at 0 to standard output, the counter to the error stream.
  void progress(int phase, long percent);
  // The percentage of a progress line (over the one before it).
  void percentage(long percent);

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
