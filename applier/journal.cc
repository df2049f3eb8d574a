#include "applier/journal.h"

#include <cstdlib>

namespace applier {
namespace {

void putField(std::string* out, const std::string& field) {
  *out += std::to_string(field.size());
  *out += ':';
  *out += field;
}

bool getField(const std::string& text, std::size_t* at, std::string* field) {
  const std::size_t colon = text.find(':', *at);
  if (colon == std::string::npos || colon == *at || colon - *at > 10) return false;
  for (std::size_t i = *at; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const std::size_t n = std::strtoul(text.c_str() + *at, nullptr, 10);
  if (n > text.size() - colon - 1) return false;
  *field = text.substr(colon + 1, n);
  *at = colon + 1 + n;
  return true;
}

bool knownKind(char c) {
  switch (static_cast<RunJournal::Kind>(c)) {
    case RunJournal::Kind::kMadeDirectory:
    case RunJournal::Kind::kRemovedDirectory:
    case RunJournal::Kind::kMove:
    case RunJournal::Kind::kAside:
    case RunJournal::Kind::kPlace:
    case RunJournal::Kind::kTemporaries:
    case RunJournal::Kind::kTemporary:
    case RunJournal::Kind::kComplete:
      return true;
  }
  return false;
}

}  // namespace

std::string RunJournal::encode(const Step& step) {
  std::string line(1, static_cast<char>(step.kind));
  putField(&line, step.a);
  putField(&line, step.b);
  return line + '\n';
}

bool RunJournal::decode(const std::string& text, std::size_t* at, Step* step) {
  std::size_t i = *at;
  if (i >= text.size() || !knownKind(text[i])) return false;
  step->kind = static_cast<Kind>(text[i++]);
  if (!getField(text, &i, &step->a) || !getField(text, &i, &step->b)) return false;
  if (i >= text.size() || text[i] != '\n') return false;
  *at = i + 1;
  return true;
}

RunJournal::~RunJournal() = default;

bool RunJournal::start(const std::string& dir, const std::vector<Step>& first) {
  for (std::size_t i = 0; i < places_.size(); ++i) {
    if (places_[i].dir == dir) {
      current_ = i;
      return true;
    }
  }
  // One left by a run that ended while it made its journal goes first.
  files_.deleteFile(dir + kNewFileName);
  std::unique_ptr<platform::File> file = files_.open(dir + kNewFileName, platform::File::Mode::kCreateNew);
  if (!file) return false;
  bool made = false;
  try {
    std::string text;
    for (const Step& s : first) text += encode(s);
    made = file->write(text.data(), text.size()) && files_.moveFileNew(dir + kNewFileName, dir + kFileName);
  } catch (...) {
    file.reset();
    files_.deleteFile(dir + kNewFileName);
    throw;
  }
  if (!made) {
    file.reset();
    files_.deleteFile(dir + kNewFileName);
    return false;
  }
  steps_.insert(steps_.end(), first.begin(), first.end());
  places_.push_back(Place{dir, std::move(file)});
  current_ = places_.size() - 1;
  return true;
}

// No flush to the disk: the journal serves a process that was ended, whose
// writes the system still has. A power cut leaves whole files only (see
// changes.h), where a rerun takes its sources from.
void RunJournal::note(Kind kind, const std::string& a, const std::string& b) {
  steps_.push_back(Step{kind, a, b});
  if (current_ != kNone) {
    const std::string line = encode(steps_.back());
    places_[current_].file->write(line.data(), line.size());
  }
}

std::vector<std::string> RunJournal::temporaryPlaces() const {
  std::vector<std::string> dirs;
  for (const Step& s : steps_) {
    if (s.kind == Kind::kTemporaries) dirs.push_back(s.a);
  }
  return dirs;
}

// A step is put back only where the disk shows that it was made: a move
// whose source is gone and whose destination is there, a new file whose
// staged name is gone.
bool RunJournal::undoStep(const Step& s) {
  switch (s.kind) {
    case Kind::kMadeDirectory:
      // Only when empty: one that still holds the run's temporaries is
      // tried again once they are gone (removeLeftDirectories).
      if (!files_.removeDirectory(s.a) && files_.isDirectory(s.a)) leftDirectories_.push_back(s.a);
      return true;
    case Kind::kRemovedDirectory:
      return files_.makeDirectory(s.a) || files_.isDirectory(s.a);
    case Kind::kMove:
    case Kind::kAside:
      if (files_.fileExists(s.a) || !files_.fileExists(s.b)) return true;
      return files_.moveFile(s.b, s.a);
    case Kind::kPlace:
      if (files_.fileExists(s.a) || !files_.fileExists(s.b)) return true;
      files_.setAttributes(s.b, 0);
      return files_.deleteFile(s.b);
    case Kind::kTemporaries:
    case Kind::kTemporary:
    case Kind::kComplete:
      return true;
  }
  return true;
}

bool RunJournal::undo() {
  bool whole = true;
  for (auto s = steps_.rbegin(); s != steps_.rend(); ++s) whole = undoStep(*s) && whole;
  if (whole) finish();
  steps_.clear();
  return whole;
}

// Nothing is undone from here on, whatever fails: the steps are dropped
// first. A journal that cannot take the completion goes at once, so that no
// later run undoes a complete one; what was moved aside is then left for a
// later run's sweep of temporaries.
void RunJournal::removeLeftDirectories() {
  for (const std::string& dir : leftDirectories_) files_.removeDirectory(dir);
  leftDirectories_.clear();
}

void RunJournal::complete() {
  std::vector<Step> done;
  done.swap(steps_);
  const std::string line = encode(Step{Kind::kComplete, "", ""});
  bool noted = true;
  try {
    for (Place& p : places_) noted = p.file->write(line.data(), line.size()) && noted;
  } catch (...) {
    noted = false;
  }
  if (noted) {
    for (const Step& s : done) {
      if (s.kind == Kind::kAside && files_.fileExists(s.b)) {
        files_.setAttributes(s.b, 0);
        files_.deleteFile(s.b);
      }
    }
  }
  finish();
}

void RunJournal::finish() {
  for (Place& p : places_) {
    p.file.reset();
    files_.deleteFile(p.dir + kFileName);
  }
  places_.clear();
  current_ = kNone;
}

RunJournal::Found RunJournal::settleEarlierRun(platform::FileSystem& files, const std::string& dir) {
  std::string text;
  if (!files.fileExists(dir + kFileName) || !files.readWholeFile(dir + kFileName, &text)) return Found::kNothing;
  RunJournal earlier(files);
  bool complete = false;
  Step step;
  for (std::size_t at = 0; decode(text, &at, &step);) {
    complete = complete || step.kind == Kind::kComplete;
    earlier.steps_.push_back(step);
  }
  const std::vector<std::string> places = earlier.temporaryPlaces();
  std::vector<std::string> temporaries;
  for (const Step& s : earlier.steps_) {
    if (s.kind == Kind::kTemporary) temporaries.push_back(s.a);
  }
  if (complete) {
    earlier.complete();
  } else if (!earlier.undo()) {
    return Found::kStuck;
  }
  for (const std::string& place : places) {
    deleteTemporariesIn(files, place, [](const std::string&) { return false; });
  }
  for (const std::string& temporary : temporaries) {
    files.setAttributes(temporary, 0);
    files.deleteFile(temporary);
  }
  files.deleteFile(dir + kFileName);
  return complete ? Found::kCompleted : Found::kUndone;
}

}  // namespace applier
