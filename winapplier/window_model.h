// The windowed appliers' rules that need no window: the command line, how
// engine output becomes list lines, the texts of the upper panel and the
// target field, the run states, the links and their browser command. The
// Win32 window code only carries these out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "applier/unattended.h"

namespace winapplier {

// The three windowed programs, one code base.
enum class Variant {
  kPelmo32,        // a patch file from the command line, or its own when one is joined behind it
  kDirectoryStub,  // pelmostub: always its own file, always a directory patch
  kFileStub,       // the single-file windowed stub: always its own file, always a single-file patch
};

// Splits a whole command line (program name included) at blanks; a double
// quote switches quoting on and off and is dropped.
std::vector<std::string> tokenize(const std::string& commandLine);

struct CommandLine {
  bool usage = false;     // "-h", "/?", too many tokens, no patch file, or a switch refused
  bool usageAsked = false;  // "-h" or "/?"
  std::string patchName;  // empty for a self-contained program: its own file
  std::string path = ".";
  applier::Switches switches;  // tokens that begin with '/' (never paths on Windows)
};
// Tokens count from 0, or from 1 when `selfContained`, so that the first
// token after the program name is then the target path. Switches (and the
// file after /log) are not counted.
CommandLine parseCommandLine(const std::string& commandLine, bool selfContained);
// The exit code after the usage box: 1, as ever; in the unattended modes 0
// for a usage asked for, 1639 for a command line refused.
int usageExitCode(const CommandLine& line);
// `words` as a command line that parseCommandLine splits into them again:
// each in double quotes (no path holds one).
std::string joinCommandLine(const std::vector<std::string>& words);

// Where list lines go; the view adds a line and scrolls it to the top.
class ListView {
 public:
  virtual ~ListView() = default;
  virtual void addLine(const std::string& line) = 0;
  virtual void removeLastLine() = 0;
};

// Builds list lines from engine output: a carriage return ends the line, a
// line feed is dropped, byte 1 takes the last line back to continue it, and
// an unfinished line is shown at the end of each output.
class MessageList {
 public:
  void output(const std::string& text, ListView& view);
  void clear() { lines_.clear(); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  void add(std::string line, ListView& view);
  std::vector<std::string> lines_;
};

// The patch's comment and creator text are held in 1004-byte buffers:
// longer texts are cut to 1003 bytes.
constexpr std::size_t kTextBufferSize = 1004;
std::string heldText(const std::string& text);
// The upper panel's text: byte 1 and carriage return become CR CR LF. It has
// room for 2003 bytes; a conversion that would overflow ends before the
// piece that does not fit.
constexpr std::size_t kPanelTextSize = 2003;
std::string panelText(const std::string& text);
// The target field and the panel show a text without a leading ".\".
std::string controlText(const std::string& text);

// The two links painted below the message list.
enum class Link { kNone, kWhatIsAPatch, kCreatePatches };
Link linkAt(int x, int y);
// The vendor's web server for the link pages.
extern const char kVendorServer[];
std::string linkAddress(Link link);
std::string browserFailureText(const std::string& address);

// The "Error" box's text: the error and one blank; after a file that made
// the target unfit (`refusal`, the message naming it), that message first,
// then the error, as the list shows them.
std::string errorBoxText(const std::string& refusal, const std::string& error);

// The offer after an error of missing rights: its caption, and its text
// (the error, then the question whether to start again with the rights).
extern const char kElevationCaption[];
std::string elevationOfferText(const std::string& error);
// When the program could not be started again with those rights.
extern const char kElevationFailedText[];

// What the controls look like in a run state.
struct StateLook {
  const char* exitText;
  bool exitEnabled;
  bool applyEnabled;
  bool hourglass;
};
StateLook lookOf(bool busy, bool targetFieldEmpty);

}  // namespace winapplier
