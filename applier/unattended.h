// What Windows programs take for runs without a user: the switches /quiet,
// /passive, /norestart, /log FILE and /?, shared by the console and the
// windowed appliers, and the log that /log writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace applier {

enum class Unattended {
  kNo,
  kPassive,  // progress is shown, nothing is asked (the answers of batch mode)
  kQuiet,    // nothing is shown and nothing asked: no window, no box, no text
};

struct Switches {
  Unattended mode = Unattended::kNo;
  bool noRestart = false;  // accepted: no run ever leaves a file to be replaced at a restart
  bool usage = false;      // "/?"
  std::string logFile;     // "/log FILE"; empty: no log
  std::string refused;     // the first word that is none of the switches ("/log" without its file)
  bool unattended() const { return mode != Unattended::kNo; }
};

// Reads the switch at words[*i], which begins with '/', and moves *i past
// it (past /log's file too). Names are compared without regard to case;
// an unknown one, or /log at the end, is kept in `refused` (the first).
void readSwitch(const std::vector<std::string>& words, std::size_t* i, Switches* switches);

// The lines that describe the switches, for a program's help.
extern const char kSwitchesHelp[];

// The log of /log FILE: every text the run shows, appended to FILE, after
// a first line that names the run. Text goes in as UTF-8 and is stored with
// CR LF line ends; byte 1 (a window's "continue the line") and backspaces
// are left out.
class RunLog {
 public:
  // `path` empty: no log, and every call does nothing.
  RunLog(platform::FileSystem& files, std::string path) : files_(files), path_(std::move(path)) {}
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  bool enabled() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Opens FILE for appending and writes "--- DATE TIME COMMANDLINE" (the
  // command line in UTF-8); false when FILE cannot be written.
  bool open(const std::string& commandLine);
  // Writes `text` at once, so that a run that stops leaves all it showed.
  // A write that fails later is passed over: the run goes on.
  void append(const std::string& text);

 private:
  platform::FileSystem& files_;
  const std::string path_;
  std::unique_ptr<platform::File> file_;
  bool pendingReturn_ = false;  // a CR ended the last text: a LF may follow in the next
  bool atLineStart_ = true;     // what was written ends with a line end
};

// A DOS date-time as "YYYY-MM-DD HH:MM:SS".
std::string dosDateTimeText(std::uint32_t dosDateTime);

}  // namespace applier
