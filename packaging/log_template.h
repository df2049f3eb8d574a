// The builder's log of a job: the files it patched (with their sources),
// embedded and skipped, written through a template kept beside the builder.
// The template's tag language:
//   <LOGFILE> ... </LOGFILE>                  the log body; the rest is not written
//   <IF FEATURE="DIRPATCH"> ... </IF>         only in a directory patch
//   <LOG Insert="NAME">                       the body of <LOGITEM NAME="NAME"> ... </LOGITEM>
//   <VALUE FROM="PATH" NAME="NAME">           AMOUNT of a list; RELPATH, ABSPATH (as UTF-8),
//                                             SIZE, AGE of a file
//   <FOREACH FROM="PATH" ITERATE="VAR"> ... </FOREACH>
// Paths name a list or a loop variable, and step into a patched file with
// ":" (FILE:LIST_SOURCES). Tags and names are matched without regard to case.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace packaging {

// One file of a scanned state.
struct FileLogInfo {
  std::string absolutePath;  // at most 399 characters
  std::string relativePath;  // at most 399 characters
  std::uint32_t size = 0;
};
// A patched file: its sources in order, and the final file.
struct PatchSerieInfo {
  FileLogInfo finalFile;
  std::vector<FileLogInfo> sources;
};
// What a job reports, in the order it reports it.
struct LogFacts {
  std::vector<FileLogInfo> skipped;
  std::vector<FileLogInfo> embedded;
  std::vector<PatchSerieInfo> patched;
};

// A failure of the log: the message in both languages, already formatted,
// and a line that goes to standard output before it (for a pattern that
// does not compile).
struct LogFailure : std::exception {
  LogFailure(std::string en, std::string de, std::string first)
      : english(std::move(en)), german(std::move(de)), printedFirst(std::move(first)) {}
  const char* what() const noexcept override { return english.c_str(); }

  std::string english;
  std::string german;
  std::string printedFirst;
};

// The first line of every log made from the shipped templates starts with
// this text (an HTML log after "<!DOCTYPE html><!-- "): a file of the log's
// name that lacks it is somebody else's and is never overwritten.
extern const char kLogMarker[];
bool carriesLogMarker(const std::string& firstLine);

// Throws LogFailure when a file named `logName` exists without the marker:
// the builder never overwrites it.
void requireOwnLog(platform::FileSystem& files, const std::string& logName);

// Expands `templateText` for `facts` into `out`; throws LogFailure, with
// what was expanded until then in `out`.
void expandLog(const std::string& templateText, const LogFacts& facts, bool directoryPatch, std::string* out);

class LogFile {
 public:
  // Reads the template, checks a file already named `logName`, and creates
  // the log; throws LogFailure.
  LogFile(platform::FileSystem& files, const std::string& templatePath, const std::string& logName);

  void skipped(const FileLogInfo& file);
  void embedded(const FileLogInfo& file);
  // The states of a patched file in order: its sources, then the final file.
  void patched(const std::vector<FileLogInfo>& states);

  // Writes the log and closes it; throws LogFailure after writing what was
  // expanded until the failure. Does nothing the second time.
  void write(bool directoryPatch);
  bool written() const { return written_; }
  const platform::File& file() const { return *file_; }
  const std::string& name() const { return name_; }

 private:
  std::string template_;
  std::string name_;
  std::unique_ptr<platform::File> file_;
  LogFacts facts_;
  bool written_ = false;
};

}  // namespace packaging
