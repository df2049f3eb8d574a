// The appliers' numbered messages. The windowed appliers and the console
// applier share one table under partly different numbers and with small
// differences of text; four windowed texts begin with a byte 1, which
// appends them to the previous output line.
#pragma once

#include <string>

namespace applier {

// The directory-patch windowed stub never compares magic or version: its
// table lacks those two messages, and later ones move down two places.
enum class Numbering { kWindowed, kConsole, kStub };

// Console numbers of the messages the engine raises by name.
enum ConsoleMessage : int {
  kMsgCorrupt = 0,
  kMsgWriteFailed = 1,
  kMsgSourceReadFailed = 2,
  kMsgPatchReadFailed = 3,
  kMsgTooManyParameters = 4,
  kMsgOpenForPatchingFailed = 5,
  kMsgTestMode = 6,
  kMsgBufferingFailed = 7,
  kMsgTempOpenFailed = 8,
  kMsgReplaceDenied = 9,
  kMsgChecksumMismatch = 10,
  kMsgNoPatchFile = 11,
  kMsgWrongVersion = 12,
  kMsgCannotOpenPatch = 13,
  kMsgUnreadable = 14,
  kMsgNotFound = 15,
  kMsgNotApplicable = 16,
  kMsgCheckingFile = 17,
  kMsgSkippingEmbedded = 18,
  kMsgWritingEmbedded = 19,
  kMsgWritingFileFailed = 20,
  kMsgRemovingObsolete = 21,
  kMsgObsoleteLater = 22,
  kMsgUpdatingFile = 23,
  kMsgPleaseWait = 24,
  kMsgScanningDisks = 25,
  kMsgTestsOk = 26,
  kMsgApplicable = 27,
  kMsgSuccess = 28,
  kMsgPressAnyKey = 29,
  kMsgCommentFollows = 30,
  kMsgConfirmTarget = 31,
  kMsgConfirmPatch = 32,
  kMsgDenied = 33,
  kMsgUsage = 34,
  kMsgIllegalOption = 35,
  kMsgBackupDenied = 36,
  kMsgOfferDiskScan = 37,
  kMsgYesNo = 38,
  kMsgCheckingPatch = 39,
  kMsgOptionalMissing = 40,
  kMsgRequiredMissing = 41,
  kMsgAlreadyUpdated = 42,
  kMsgOk = 43,
  kMsgRegistryFailed = 44,
  kMsgNoRoom = 45,  // %s bytes, %m the directory
  kMsgTruncated = 46,     // the patch file ends before its data does
  kMsgNoKnownVersion = 47,  // %m: a file that is there but is no version the patch knows
  kMsgUnexpected = 48,      // %s: what stopped the run (an exception the engine does not raise itself)
  kMsgInUseBy = 49,         // %m: a file other programs hold open, %s: those programs
  kMsgInUse = 50,           // %m: a file another program holds open, which one the system does not tell
  kMsgNeedsRights = 51,     // %m: a file or place the user may not change
  kMsgAnotherRun = 52,      // %s: a target another run works on
  kMsgLogFailed = 53,       // %s: the log file
  kMsgPressKeyToClose = 54, // console only: the wait of a console window that closes with the program
  kMsgTestSucceeded = 60,   // console only: the last words of a test run (-t)
  kMsgTargetMissing = 61,   // %s: a target path that names nothing
  // An interrupt (Ctrl-C, a closed console, SIGTERM) in the apply pass.
  kMsgInterrupted = 70,
  // %s: a target where an earlier run was killed in its apply pass: that
  // run undone; its tidy-up completed; to be settled by a real run; could
  // not be undone now.
  kMsgEarlierRunUndone = 71,
  kMsgEarlierRunCompleted = 72,
  kMsgEarlierRunPending = 73,
  kMsgEarlierRunStuck = 74,
};

// The reason message kMsgUnexpected gives when memory ran out.
constexpr const char* kNoMemoryReason = "not enough memory";

// The text of message `number` in `numbering`; empty when there is none.
std::string messageText(Numbering numbering, int number);
// The other numbering's number of the same message, -1 when it has none.
int otherNumber(Numbering numbering, int number);

// What the placeholders stand for.
struct MessageValues {
  std::string patchName;  // %p
  std::string argument;   // %s: a path, a version number or an option, as the message says
  std::string relName;    // %m: the file a record names
};

// Expands %n (CR LF), %p, %m and %s; a percent sign before any other
// character stays, and that character is expanded normally. Values are
// shown as the user reads them: "." and ".\" as "current directory",
// ".\x" as "x".
std::string formatMessage(const std::string& text, const MessageValues& values);
std::string displayValue(const std::string& value);

// Message `consoleNumber` (its console number) as `numbering` words it,
// formatted; a front end shows these before any patch is loaded. The values
// are system text (code page 1252); the console numbering shows them in its
// code page 850.
std::string numberedMessage(Numbering numbering, int consoleNumber, const MessageValues& values = {});

}  // namespace applier
